// MPEG-2 transport stream: the muxer used by consumers' dequeue step and the demuxer used by the
// output thread on received streams. One TsContext serves either role.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int { TS_PACKET_SIZE = 188 };

// PIDs and stream types a transport-stream consumer uses.
enum : uint16_t {
    TS_PMT_PID = 0x0100,
    TS_PCR_PID = 0x1001,
    TS_VIDEO_PID = 0x1011,
    TS_AAC_PID = 0x1100,
    TS_PCM_PID = 0x0101,
    TS_PRIVATE_PID = 0x001F,
};
enum : uint8_t {
    TS_TYPE_MPEG2_VIDEO = 0x02,
    TS_TYPE_MPEG1_AUDIO = 0x03,
    TS_TYPE_PRIVATE_PES = 0x06,
    TS_TYPE_AAC = 0x0F,
    TS_TYPE_MPEG4_VIDEO = 0x10,
    TS_TYPE_H264 = 0x1B,
};

struct TsStream {
    uint16_t pid;              // 0 = absent
    uint8_t  stream_type;
    uint8_t  priority;         // transport_priority bit; video: the keyframe flag
    uint32_t pts, pts_prev;
    uint8_t  pts_bit32;        // toggled whenever the PTS goes backwards (32-bit wrap)
    uint32_t dts, dts_prev;
    uint8_t  dts_bit32;
    uint8_t  cc;               // continuity counter, 0..15
    uint8_t  stream_id;        // PES stream_id override, 0 = by type
    uint8_t  s302m;            // carry 16-bit stereo PCM as SMPTE 302M
    char     registration[4];  // registration descriptor identifier with s302m
    uint8_t  avc_profile, avc_level;
    uint8_t  ext_done;
    uint8_t  written;          // a PES went out, so pts_prev is meaningful         // the P-STD extension went out with the first PES
    // demuxer
    uint32_t pes_len;          // expected payload bytes, 0 = unknown
    uint32_t pes_got;          // payload bytes gathered
    int64_t  pes_pos;          // offset of the packet where the PES began, -1 = none
    uint32_t pes_pts;          // PTS of the PES being gathered
    uint8_t  pes_pts_bit32;
    uint8_t  cc_valid;         // a counter has been seen on this PID
    uint32_t cc_errors;
};

struct TsContext {
    TsStream audio;
    TsStream video;
    TsStream third;            // PID 0 = absent; no consumer fills it
    uint16_t pmt_pid, pcr_pid;

    uint32_t pcr;              // PCR of the access unit being written (90 kHz)
    uint32_t pcr_last;         // last PCR written
    uint8_t  pcr_bit32;
    uint32_t psi_pcr;          // PCR when PAT/PMT were last written
    uint32_t private_pcr;      // PCR when the private section was last written
    uint8_t  private_section;  // write the private section
    uint8_t  pat_cc, pmt_cc, pcr_cc, private_cc;
    uint8_t  discontinuity;
    uint8_t  program_stream;   // not supported; tsmux_write refuses it
    uint32_t s302m_frame;      // AES3 frame counter, 0..191, across calls
    uint8_t *scratch;          // 302M payload being built
    size_t   scratch_size;

    // demuxer
    int64_t  scan_pos;         // next packet to look at
    uint8_t  pat_cc_valid, pmt_cc_valid;
    uint8_t  pat_cc_rx, pmt_cc_rx;
    uint32_t pat_cc_errors, pmt_cc_errors;
    uint8_t  pmt_seen;
    uint32_t pmt_crc;          // CRC of the PMT last taken apart
    uint8_t  flush;            // at end of input: release the video PES gathered so far
    uint16_t ready_pid;        // PES handed out by the last feed, 0 = none
    uint32_t ready_len;
    int64_t  ready_pos;
    uint32_t ready_pts;
    uint8_t  ready_pts_bit32;
    uint8_t  ready_parsed;
};

TsContext *tsmux_new();
void tsmux_free(TsContext *ctx);

// What a transport-stream consumer sets at attach: video type 0x1B or 0x10 (0 = none); audio
// 0 none, 1 AAC, 2 PCM as SMPTE 302M.
enum { TSMUX_AUDIO_NONE = 0, TSMUX_AUDIO_AAC = 1, TSMUX_AUDIO_PCM = 2 };
void tsmux_configure(TsContext *ctx, uint8_t video_type, int audio);

// Writes one access unit of the stream on `pid` into dest (at most dest_size bytes): PAT/PMT
// when due, a PCR packet when the PCR value changed, then the PES. Set ctx->pcr and the stream's
// pts (and video.priority = keyframe) first. Returns bytes written (a multiple of 188), 0 for
// nothing to write, negative when dest is too small (nothing is written then).
int tsmux_write(TsContext *ctx, uint16_t pid, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length);

// The consumer's dequeue steps, with timestamps relative to the keyframe muxing started at.
// Video: PCR = pts + 900, PTS = pts, transport priority = keyframe.
int tsmux_write_video(TsContext *ctx, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length,
                      uint32_t pts, bool keyframe);
// Audio: written only when its PTS is after the last audio PTS (signed, so audio slightly older
// than the first keyframe does not block what follows); returns 0 when skipped.
int tsmux_write_audio(TsContext *ctx, uint8_t *dest, size_t dest_size, const uint8_t *data, size_t length,
                      uint32_t pts);

// Bytes tsmux_write may need for an access unit of `length` bytes (PSI and PCR included).
size_t tsmux_max_output(size_t length);

// The PES header (with AUD for H.264) of one access unit into hdr (at least 64 bytes).
int pes_write_header(TsContext *ctx, TsStream *st, uint8_t *hdr, const uint8_t *data, size_t length,
                     size_t payload_length);
// One 188-byte packet: header, optional adaptation stuffing, `hdr` then data. Returns data bytes taken.
size_t ts_make_packet(uint8_t *pkt, uint16_t pid, uint8_t *cc, uint8_t priority, const uint8_t *hdr,
                      size_t hdr_len, const uint8_t *data, size_t length);
// Converts 16-bit little-endian stereo PCM into a 302M payload (4-byte AES3 header + 5 bytes
// per frame) in out (length * 5 / 4 + 4 bytes). Returns the payload length.
size_t s302m_write_packet(TsContext *ctx, uint8_t *out, const uint8_t *pcm, size_t length);

// Demuxer. Feed scans the received bytes from where the last call stopped and returns the PID
// of the first complete PES (its length in ctx->ready_len, timestamp in ctx->ready_pts), 0 when
// none is complete yet. Parse copies that PES's payload into dest (bounded by dest_size) and
// returns the bytes copied, negative on error.
int ts_demux_feed(TsContext *ctx, const uint8_t *data, size_t length);
int ts_demux_parse(TsContext *ctx, uint16_t pid, uint8_t *dest, size_t dest_size, const uint8_t *data,
                   size_t length);
// Bytes at the front of the input that no unfinished PES needs any more, and dropping them
// after the caller removed them from its buffer.
size_t ts_demux_consumed(const TsContext *ctx);
void ts_demux_discard(TsContext *ctx, size_t bytes);
