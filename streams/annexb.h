// H.264 Annex B byte streams: start codes and the NAL units between them, for every caller
// that splits encoder output (FLV, RTMP).
#pragma once
#include <cstddef>
#include <cstdint>

// Position of the next 00 00 01 at or after from; len when there is none.
size_t annexb_find_start_code(const uint8_t *d, size_t len, size_t from);
// The NAL unit after the next start code at or after *pos, without the zero bytes before the
// following start code (the first byte of a 4-byte one, or padding); *pos moves to that start
// code. False when no start code is left.
bool annexb_next_nal(const uint8_t *d, size_t len, size_t *pos, const uint8_t **nal, size_t *nal_len);
