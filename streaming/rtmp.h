// RTMP play: the listener and its session threads (handshake), the chunk stream with its AMF0
// commands, the media messages, and the two push consumers that keep a channel's FLV stream
// running.
#pragma once
#include "streams/stream.h"
#include "streams/stream_state.h"

#include <cstddef>
#include <cstdint>

struct ParamBlock;
struct RtmpShared;
struct RtmpGather;
struct sockaddr_in;

enum : uint32_t {
    RTMP_PORT = 1935,
    RTMP_CHUNK_STREAMS = 20,
    RTMP_RECV_SIZE = 2048,
    RTMP_OUT_CHUNK_SIZE = 128,
    RTMP_MAX_MESSAGE = 1u << 20,      // commands are small; nothing a player sends comes near
    RTMP_MAX_CHUNK_SIZE = 0x7FFFFFFFu,
    RTMP_HANDSHAKE_SIZE = 1536,
    AMF_MAX_DEPTH = 16,
    RTMP_PACKET_BODY = 1024,
    RTMP_AVC_CONFIG_SIZE = 256,
    RTMP_CS_CONTROL = 2,
    RTMP_CS_COMMAND = 3,
    RTMP_CS_AUDIO = 20,               // also the play replies and metadata
    RTMP_CS_VIDEO = 21,
};

// RTMP message types.
enum : uint32_t {
    RTMP_MSG_SET_CHUNK_SIZE = 1,
    RTMP_MSG_USER_CONTROL = 4,
    RTMP_MSG_WINDOW_ACK = 5,
    RTMP_MSG_PEER_BANDWIDTH = 6,
    RTMP_MSG_AUDIO = 8,
    RTMP_MSG_VIDEO = 9,
    RTMP_MSG_COMMAND_AMF3 = 17,
    RTMP_MSG_DATA = 18,
    RTMP_MSG_COMMAND = 20,
};

struct RtmpChunkStream {
    uint32_t id;
    uint32_t timestamp;               // ms
    uint32_t length;
    uint32_t type;
    uint32_t stream_id;
    uint32_t assembled;               // bytes of the message received so far
    uint8_t *buffer;                  // reassembly, owned; null when none
    uint32_t end;
    uint8_t extended;                 // the last header carried an extended timestamp
};

// Where an AMF0 read stands in one message. Per session, so sessions never wait on each other.
struct AmfParser {
    const uint8_t *buf;
    uint32_t pos;                     // byte
    uint32_t bit;                     // within buf[pos], for amf_read_bits
    uint32_t end;                     // of the current message
    const uint8_t *str;               // last string parsed (into buf)
    uint32_t str_len;
    double number;                    // last number parsed
    int depth;
    int error;                        // AMF_ERR_*
};
enum { AMF_OK = 0, AMF_ERR_SHORT = 1, AMF_ERR_DEPTH = 2 };

struct RtmpConnection {
    int sock;
    int playing;                      // set by "play", cleared by "closeStream"
    RtmpChunkStream cs[RTMP_CHUNK_STREAMS];
    uint32_t out_chunk_size;          // 128, never announced
    uint32_t in_chunk_size;
    uint32_t stream_id;               // of replies' createStream result and of media
    uint32_t ts_offset;               // ms
    uint32_t ts_last;                 // 90 kHz
    uint32_t channel;                 // 0 or 1
    uint32_t audio;                   // 1: the channel's RTMP audio is on
    uint8_t aac_tag;                  // 0 until the AAC sequence header went out

    // Receive side: bytes of an unfinished chunk header are kept at the front of rbuf; payload
    // is consumed as it arrives, so a chunk larger than rbuf spans reads.
    uint8_t rbuf[RTMP_RECV_SIZE];
    uint32_t held;
    int chunk_slot;                   // slot whose chunk payload continues, -1 none
    uint32_t chunk_left;              // payload bytes of that chunk still to come
    int fault;                        // protocol fault: the session ends
    int64_t idle_since_ms;            // monotonic; last moment the session was playing, or its start
    uint64_t sent_bytes;              // media written into the player's socket
    AmfParser amf;

    // Send side.
    uint8_t *out;                     // one message with its chunk headers
    size_t out_size;
    uint8_t *body;                    // a media message's body before chunking
    size_t body_size;
    // While set, rtmp_send_message chunks into this shared entry instead of sending.
    RtmpShared *collect;
    // The messages of one media step, written in one go; owned, null until the first step.
    RtmpGather *gather;

    // Media.
    StreamState video;
    StreamState audio_state;
    RtmpChunkStream out_video;
    RtmpChunkStream out_audio;
    int first_frame;
    int catch_up;
    // Audio taken before a video frame and kept for after it (data stays in the ring).
    const uint8_t *pending_audio;
    size_t pending_audio_len;
    uint32_t pending_audio_ts;
    uint32_t pending_audio_seq;
    int has_pending_audio;
    // Stamp of the last audio frame sent since the first frame after attaching.
    uint32_t last_audio_ts;
    int has_last_audio;
    uint32_t clock_origin;   // stamp of the picture the clock started from, when it did
};

// Session set-up and tear-down around a connected socket (the socket is not closed).
void rtmp_connection_init(RtmpConnection *c, int sock);
void rtmp_connection_free(RtmpConnection *c);

// The settings the command handler reads (set by the listener; the process block until then).
extern ParamBlock *rtmp_params;

// Chunk stream (receive). rtmp_process parses the `n` bytes just read into rbuf after the held
// ones; returns 0, or -1 when the session must end.
int rtmp_process(RtmpConnection *c, size_t n);
// Feeds arbitrary data through rtmp_process in reads of at most the buffer's room.
int rtmp_feed(RtmpConnection *c, const uint8_t *data, size_t length);
int rtmp_handle_message(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data);
int rtmp_handle_command(RtmpConnection *c, RtmpChunkStream *cs);
// The channel a play's stream name chooses, -1 for a name of neither.
int rtmp_stream_channel(const char *stream);

// Chunk stream (send).
int rtmp_chunk_header_size(int format, const RtmpChunkStream *cs);
int rtmp_write_chunk_header(int format, const RtmpChunkStream *cs, uint8_t *out);
// One message: format-0 header, body cut into chunks of the outgoing size, one send.
int rtmp_send_message(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *body, size_t length);
// The same chunking into memory: rtmp_chunked_size bytes at `out`; returns the bytes written.
size_t rtmp_chunked_size(const RtmpChunkStream *cs, size_t length, size_t chunk);
size_t rtmp_chunk_message(const RtmpChunkStream *cs, size_t chunk, const uint8_t *body, size_t length, uint8_t *out);
int sendpacket(RtmpConnection *c, RtmpChunkStream *cs, const char *format, ...);
int rtmp_send_all(int sock, const uint8_t *data, size_t length);

// AMF0 reading over c->amf.
uint32_t amf_read_bits(AmfParser *p, int n);
int amf_parse_value(AmfParser *p);
int amf_parse_string(AmfParser *p);
int amf_parse_property(AmfParser *p);
int amf_parse_object_end(AmfParser *p);
int amf_last_string_equals(const AmfParser *p, const char *text);

// Media.
uint32_t rtmp_timestamp_ms(RtmpConnection *c, uint32_t stamp);
void rtmp_timestamp_reset(RtmpConnection *c, uint32_t stamp);
int rtmp_send_video(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data, size_t length);
int rtmp_send_audio(RtmpConnection *c, RtmpChunkStream *cs, const uint8_t *data, size_t length);
// One media step of a playing session: 1 when the socket has data to read, 0 to go on, -1 when
// the session ends.
int rtmp_media_step(RtmpConnection *c);
void rtmp_media_detach(RtmpConnection *c);

// Media shared by the players of a channel: each queue entry is chunked once, by the first
// player that sends it, and every player writes those bytes with a message header of its own
// (its timestamps). A media step gathers its messages and writes them in one writev.
// Appends one chunked message to an entry being built (from rtmp_send_message).
int rtmp_share_append(RtmpShared *e, const RtmpChunkStream *cs, size_t chunk, const uint8_t *body, size_t length);
// Gather the video frame `sb` (timestamp in c->out_video) or one audio frame (timestamp in
// c->out_audio; the AAC sequence header goes first once per session): 0, or -1 out of memory.
int rtmp_share_video(RtmpConnection *c, const StreamBuffer *sb);
int rtmp_share_audio(RtmpConnection *c, const uint8_t *data, size_t length, uint32_t seq);
// Writes what the step gathered: 0, or -1 when the socket failed.
int rtmp_share_flush(RtmpConnection *c);
void rtmp_share_free(RtmpConnection *c);

// Handshake (the system is always the server); 0 or the error code.
int rtmp_handshake(RtmpConnection *c);
int rtmp_recv_exact(RtmpConnection *c, uint8_t *buf, size_t n);
extern const uint8_t rtmp_client_key[30];
extern const uint8_t rtmp_server_key[68];

// A session over a connected socket: handshake, then media and commands until the end.
void rtmp_session_run(RtmpConnection *c);
// Number of live session threads.
int rtmp_session_count();

// Limits against clients that hold connections: sessions in all and per client address (one
// host can never lock out the others), time a session may spend not playing (from its start, or
// since it last played), and time one media step's write may take (a player not draining).
enum {
    RTMP_SESSIONS = 256,
    RTMP_SESSIONS_PER_ADDRESS = 128,
    RTMP_IDLE_SECONDS = 30,
    RTMP_SEND_SECONDS = 10,
};
struct RtmpLimits {
    unsigned sessions, per_address, idle_seconds, send_seconds;
    unsigned evict_idle_ms;   // a newcomer takes an idle session's place from any address; 0: EVICT_IDLE_MS
};
void rtmp_set_limits(const RtmpLimits *limits);   // null: the defaults
const RtmpLimits *rtmp_limits();
// 1 writable, 0 not by the deadline (monotonic_ms), -1 failure or quit.
int rtmp_wait_writable(int sock, int64_t deadline_ms);
// Notes what the playing session's channel offered and what its player took (bytes written less
// those its socket still holds) for the eviction rule; at least once a second while it plays,
// also while a write waits on a full socket.
void rtmp_note_flow(RtmpConnection *c);
// Admits a connection accepted from `peer` and starts its session thread, or refuses it (over a
// limit: closed at once, logged at most once a second). 0 started, -1 refused or failed.
int rtmp_session_start(int sock, const struct sockaddr_in *peer);
// One turn of the listener: waits up to a second for a connection on `ls` and hands it to
// rtmp_session_start; a failing accept backs off and is logged at most once a second.
void rtmp_listener_step(int ls);

// The push consumers' run states (stream ids 10 and 11).
extern StreamRunState rtmp_push_run_state[2];
void *rtmpThrFxn(void *arg);
void *rtmpServerThrFxn(void *arg);
