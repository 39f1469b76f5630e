// The output thread's network input: the socket chosen by Display.URL and Display.UDPPort,
// receive rounds into the receive buffer, the status line, and the latency estimator that drops
// audio frames to stay close to live.
#pragma once
#include "platform/dmai.h"

#include <cstddef>
#include <cstdint>
#include <pthread.h>

struct ParamBlock;
struct StreamRunState;

enum { OUTPUT_RECEIVE_SIZE = 0xbd000, OUTPUT_RECEIVE_RESERVE = 1459 };

struct OutputReceiveState {
    int sock;                   // -1 while closed
    pthread_mutex_t mutex;      // the receive buffer, while decoder configuration is inserted
    Buffer_Handle hBuf;         // contiguous, OUTPUT_RECEIVE_SIZE bytes
    uint8_t *data;
    size_t size;
    size_t fill;                // bytes used
    bool drain;
    bool lastpacket;
    bool transportIsTcp;
    bool lowLatency;
    uint32_t sourceFilter;      // network order; 0 takes every sender
    uint64_t bytesReceived;
    char peer[24];              // last sender, dotted
};

// The status line "Display.Status" shows while stream 3 runs.
extern char decoder_status_text[100];

// Fresh state around a receive buffer of size bytes (the socket closed).
void output_receive_init(OutputReceiveState *rs, Buffer_Handle hBuf);

// Opens the input for a start of the stream; for TCP waits (1 s polls) for one client while the
// run state has no stop pending. 0 open; -1 failed or stopped (logged; the socket closed).
int output_open_input(OutputReceiveState *rs, const ParamBlock *p, StreamRunState *run);
void output_close_input(OutputReceiveState *rs);

// One receive round. Returns the fill level, or OUTPUT_RECEIVE_ENDED when the connection ended
// (socket closed, stream 3 set to stop and start again so the input reopens). A TCP sender that
// closes with bytes still held sets lastpacket instead and closes the socket: the caller reads
// them and then calls output_end_sender.
enum { OUTPUT_RECEIVE_ENDED = -1 };
long output_receive(OutputReceiveState *rs, uint32_t framesDecoded);

// A TCP sender is done with, at its end (lastpacket set once its last bytes were read) or on
// bad input: logged with the reason, the socket closed, and stream 3 set to stop and start again
// so the input waits for the next sender.
void output_end_sender(OutputReceiveState *rs, const char *why);

// Drops the first n bytes of the receive buffer.
void output_receive_consume(OutputReceiveState *rs, size_t n);

// Audio-frame latency estimator, a pure function of its inputs. heard is the stream timestamp
// now being heard (clock now - A/V offset), t the frame's timestamp and prev the previous
// audio frame's. Returns 1 when the frame is to be dropped.
struct LatencyEstimator {
    int32_t lead;               // average of t - heard, 90 kHz ticks
    uint32_t variance;          // average squared deviation of lead
    uint32_t interval;          // average step between audio frames
};
void latency_start(LatencyEstimator *e, uint32_t interval);
int latency_estimate(LatencyEstimator *e, uint32_t heard, uint32_t t, uint32_t prev);
