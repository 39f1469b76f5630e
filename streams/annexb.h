// Start codes (00 00 01) in H.264 Annex B and MPEG-4 visual byte streams, and the NAL units
// between them: the one scan every caller uses (muxers, the MP4 writer, RTMP, RTSP, the encoder,
// the codec stand-ins, the received-stream path).
#pragma once
#include <cstddef>
#include <cstdint>

// Position of the next 00 00 01 at or after from; len when there is none.
size_t annexb_find_start_code(const uint8_t *d, size_t len, size_t from);
// Position of the next 00 00 01 followed by code (MPEG-4: 0xB6 a VOP, 0xB0 the sequence
// header) at or after from; len when there is none.
size_t annexb_find_code(const uint8_t *d, size_t len, size_t from, uint8_t code);
// Where the start code found at sc begins when a zero byte in front makes it a 4-byte one
// (never before from).
size_t annexb_code_begin(const uint8_t *d, size_t from, size_t sc);
// The NAL unit after the next start code at or after *pos, without the zero bytes before the
// following start code (the first byte of a 4-byte one, or padding); *pos moves to that start
// code. False when no start code is left.
bool annexb_next_nal(const uint8_t *d, size_t len, size_t *pos, const uint8_t **nal, size_t *nal_len);
