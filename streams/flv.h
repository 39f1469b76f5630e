// FLV tag muxer: file header with onMetaData, AVC and AAC sequence headers and one tag per frame,
// written into a consumer's output buffer.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint8_t { FLV_TAG_AUDIO = 8, FLV_TAG_VIDEO = 9, FLV_TAG_SCRIPT = 18 };
enum : uint32_t { FLV_CODEC_AAC = 10, FLV_CODEC_AVC = 7 };

struct FlvMuxer {
    uint32_t audio_codec_id;     // 10 AAC, 0 no audio
    double   audio_data_rate;
    double   audio_sample_rate;
    uint32_t audio_sample_size;  // bits
    uint32_t stereo;
    uint32_t audio_ts;           // ms, timestamp of the next audio tag
    uint32_t video_codec_id;     // 7 AVC
    double   video_data_rate;
    uint32_t width, height;
    double   frame_rate;
    uint32_t video_ts;           // ms, timestamp of the next video tag
    uint8_t  audio_tag_header;   // computed with the file header
    uint8_t  aac_packet_type;    // 0 sequence header, 1 raw
    uint8_t  avc_packet_type;    // 0 sequence header, 1 NAL units
    uint8_t  frame_type;         // 1 keyframe, 2 inter frame
    int32_t  composition_time;   // ms, with AVC packet type 1
};

FlvMuxer *flv_muxer_create();
void flv_muxer_free(FlvMuxer *m);

// Every writer is bounded by out_size and returns the bytes written, or -1 (nothing usable
// written) when the output does not fit or the input is unusable.
int flv_write_header_metadata(FlvMuxer *m, uint8_t *out, size_t out_size);
// AVC sequence header from the SPS and PPS at the start of *data; advances *data and *length
// past them. Returns 0 without writing when the frame starts with neither.
int flv_write_avc_config(FlvMuxer *m, uint8_t *out, size_t out_size, const uint8_t **data, size_t *length);
// AAC sequence header for AAC LC at 48000 Hz (stereo per the muxer); leaves the AAC packet type raw.
int flv_write_aac_config(FlvMuxer *m, uint8_t *out, size_t out_size);
// One tag and its PreviousTagSize. Video NAL units: every start code becomes a 4-byte length.
// Audio AAC frames lose their ADTS header.
int flv_write_tag(FlvMuxer *m, uint8_t tag_type, uint8_t *out, size_t out_size, const uint8_t *data, size_t length);

// What an FLV consumer sets at attach: AVC 640x480 at 29.97, and AAC 48 kHz stereo when it has audio.
void flv_muxer_configure(FlvMuxer *m, bool aac);
// The consumer's dequeue steps, with timestamps in 90 kHz ticks relative to the keyframe muxing
// started at (a negative time, audio just before that keyframe, is written as 0).
// Start: the file header with onMetaData, then the AAC sequence header when there is audio.
int flv_mux_start(FlvMuxer *m, uint8_t *out, size_t out_size);
// A video frame; a keyframe is preceded by the AVC sequence header made from its SPS and PPS.
int flv_mux_video(FlvMuxer *m, uint8_t *out, size_t out_size, const uint8_t *data, size_t length, uint32_t ticks,
                  bool keyframe);
int flv_mux_audio(FlvMuxer *m, uint8_t *out, size_t out_size, const uint8_t *data, size_t length, uint32_t ticks);

int amf0_write_number(uint8_t *out, double value);
int amf_write_string(uint8_t *out, const char *text);
