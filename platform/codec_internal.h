// Shared pieces of the codec engine stand-in.
#pragma once
#include "platform/codec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

enum CodecAlgKind { CODEC_ALG_NONE = 0, CODEC_ALG_H264ENC, CODEC_ALG_MPEG4ENC, CODEC_ALG_JPEGENC,
                   CODEC_ALG_AACENC, CODEC_ALG_H264DEC, CODEC_ALG_MPEG4DEC, CODEC_ALG_JPEGDEC,
                   CODEC_ALG_AACDEC };

// Looks the algorithm up on the engine; an unknown name records Engine_ENOTFOUND.
CodecAlgKind codec_engine_find(Engine_Handle e, const char *name);
void codec_engine_set_error(Engine_Handle e, Engine_Error err);
// libav* prints through its own logger; keep it to errors.
void codec_av_init();
// Frames per 1000 s as a time base; NTSC rates come out exact (1001/30000).
AVRational codec_time_base(int framesPer1000s);
// Rewrites an SPS (from its NAL header byte on, no start code) with the given VUI timing into
// *out; false when the SPS cannot be parsed, which leaves it to the caller to keep the original.
bool codec_sps_set_timing(const uint8_t *nal, size_t n, uint32_t unitsPerTick, uint32_t timeScale, bool fixed,
                          std::vector<uint8_t> *out);
