// The UDP and TCP stream senders "udpA" and "udpB": one channel's stream pushed to a fixed
// destination as plain UDP, UDP with a frame counter, UDP with frame headers and audio summary
// packets, multicast RTP or TCP.
#pragma once
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

void *udpThrFxn(void *arg);

// 0 reachable, 1 the host did not answer ARP in time, 2 the port kept refusing, -1 error.
int waitConnection(int sock, const struct sockaddr_in *dest, int seconds);
// The channel's encoded size as the frame header's resolution code (255: none).
int stream_resolution_code(int channel);
int udp_resolution_code(int width, int height, int pal);

// The channel's status text (at most 98 characters).
int udp_status_get(int channel, char *buf, size_t size);
void udp_set_status(int channel, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Frame stamps to time of day: a 90 kHz stamp and the second it stood for.
struct UdpTimeBase {
    uint32_t stamp;
    int64_t second;
};
void udp_time_of(UdpTimeBase *base, uint32_t stamp, uint32_t *seconds, uint32_t *usec);

// What the first packet of a mode-2 frame says about the picture.
struct UdpFrameInfo {
    uint32_t counter;          // frames taken, from 1
    uint32_t seconds, usec;
    uint8_t resolution;
    uint8_t rate;              // 25 or 30
};
enum { UDP_FRAME_HEADER = 16, UDP_PICTURE_INFO = 44, UDP_SUMMARY_PACKET = 1068 };

typedef int (*UdpSendFn)(void *ctx, const uint8_t *packet, size_t len);
// Cuts one frame into the packets of mode 0, 1 or 2 (payload size s, scratch of s bytes for the
// headed modes) and hands each to send; returns the first negative result of send, else 0.
int udp_packetize(int mode, const uint8_t *frame, size_t len, size_t s, const UdpFrameInfo *info,
                  uint8_t *scratch, UdpSendFn send, void *ctx);
// The payload size for a mode: "UDPPacketSize" less the IP and UDP headers, or 1400 where that
// leaves no room for the mode's header; for a transport stream (`ts`), rounded down to whole
// 188-byte packets after mode 1's counter, at least one.
size_t udp_payload_size(int mode, int packet_size, bool ts = false);

// Mode 2's audio summary: the mean of every 12 samples, 512 means a packet.
struct UdpSummary {
    int16_t values[512];
    int count;
    int32_t sum;
    int samples;
    uint32_t packets;          // summary packets sent
};
// Feeds one PCM frame (1024 signed 16-bit stereo pairs). Each time 512 values are complete,
// emit gets them with the pair index in the frame where the window ended and the packet
// counter. -1 for a frame of another size, -2 when emit failed.
typedef int (*UdpSummaryFn)(void *ctx, const int16_t *values, int end_pair, uint32_t counter);
int udp_summary_feed(UdpSummary *s, const uint8_t *pcm, size_t len, UdpSummaryFn emit, void *ctx);
// The 1068-byte summary packet.
void udp_summary_packet(uint8_t *out, uint32_t counter, uint32_t seconds, uint32_t usec, const int16_t *values);
