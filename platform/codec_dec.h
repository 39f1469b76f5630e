// Decoders of the codec engine ("h264dec", "mpeg4dec", "jpegdec", "aacdec") and their
// buffer-level wrappers, as the output and playback threads drive them. "mpeg2dec" is a name
// the board's engine does not carry: creating it fails with Engine_ENOTFOUND.
//
// What callers rely on:
// - Each process call decodes one unit from the start of the input buffer (an access unit, a
//   VOP, a JPEG image, an AAC frame) and sets the input buffer's bytes used to the bytes that
//   unit took; bytes after it are left for the next call.
// - Video: the caller takes a free buffer of its table (use mask 1 set) and passes it as the
//   destination. After the call, Vdec2_getDisplayBuf gives the buffers that now hold a picture
//   to show (NV12, dimensions set, bytes used = line length x height x 3 / 2) and
//   Vdec2_getFreeBuf the buffers the decoder no longer holds; each returns null when done.
//   The decoder keeps no caller buffer across calls. A picture larger than the create's
//   maximum is refused (Dmai_EFAIL) and nothing is written.
// - Output never goes past a buffer's size.
#pragma once
#include "platform/codec.h"
#include "platform/dmai.h"

// Results of the process calls besides Dmai_EOK and Dmai_EFAIL.
enum { Dmai_EFIRSTFIELD = 3,    // one field of an interlaced picture decoded
       Dmai_EBITERROR = 4 };    // the unit was damaged: consumed, concealed or nothing shown

// --- video: "h264dec", "mpeg4dec" ---
struct VIDDEC2_Params {         // 28 bytes
    XDAS_Int32 size;
    XDAS_Int32 maxHeight;
    XDAS_Int32 maxWidth;
    XDAS_Int32 maxFrameRate;
    XDAS_Int32 maxBitRate;
    XDAS_Int32 dataEndianness;  // XDM_BYTE
    XDAS_Int32 forceChromaFormat;   // XDM_YUV_420SP
};
static_assert(sizeof(VIDDEC2_Params) == 28);
struct IH264VDEC_Params {       // 56 bytes: "h264dec" extensions
    VIDDEC2_Params viddecParams;
    XDAS_Int32 displayDelay;
    XDAS_Int32 hdvicpHandle;
    uint8_t resetHdvicpEveryFrame;
    uint8_t pad[3];
    XDAS_Int32 levelLimit;      // 42: level 4.2
    XDAS_Int32 frameClosedLoop;
    XDAS_Int32 seiParsing;
    XDAS_Int32 vuiParsing;
};
static_assert(sizeof(IH264VDEC_Params) == 56);
struct VIDDEC2_DynamicParams {  // 40 bytes
    XDAS_Int32 size;
    XDAS_Int32 decodeHeader;
    XDAS_Int32 displayWidth;
    XDAS_Int32 frameSkipMode;
    XDAS_Int32 frameOrder;
    XDAS_Int32 newFrameFlag;
    XDAS_Int32 mbDataFlag;
    XDAS_Int32 reserved[2];
    uint8_t resetOnError;
    uint8_t pad[3];
};
static_assert(sizeof(VIDDEC2_DynamicParams) == 40);
extern const VIDDEC2_Params Vdec2_Params_DEFAULT;
extern const VIDDEC2_DynamicParams Vdec2_DynamicParams_DEFAULT;

struct Vdec2_Object;
typedef Vdec2_Object *Vdec2_Handle;
// Null for an unknown name (the engine's last error says why) or unusable parameters.
Vdec2_Handle Vdec2_create(Engine_Handle e, const char *name, const VIDDEC2_Params *params,
                          const VIDDEC2_DynamicParams *dynParams);
// Dmai_EOK, Dmai_EBITERROR, Dmai_EFIRSTFIELD or Dmai_EFAIL; hInBuf's bytes used become the
// bytes consumed (0 on Dmai_EFAIL).
int Vdec2_process(Vdec2_Handle h, Buffer_Handle hInBuf, Buffer_Handle hDstBuf);
// End of stream: the pictures still inside come out, one per following process call.
int Vdec2_flush(Vdec2_Handle h);
Buffer_Handle Vdec2_getDisplayBuf(Vdec2_Handle h);
Buffer_Handle Vdec2_getFreeBuf(Vdec2_Handle h);
// What the decoder needs of the caller's table: at least this many buffers of this size (the
// size of the stream's pictures once one was decoded, of the create's maximum before).
int Vdec2_getMinOutBufs(Vdec2_Handle h);
int32_t Vdec2_getOutBufSize(Vdec2_Handle h);
void Vdec2_setBufTab(Vdec2_Handle h, BufTab_Handle t);
BufTab_Handle Vdec2_getBufTab(Vdec2_Handle h);
int Vdec2_delete(Vdec2_Handle h);

// --- image: "jpegdec" ---
struct IMGDEC1_Params {
    XDAS_Int32 size;
    XDAS_Int32 maxHeight;
    XDAS_Int32 maxWidth;
    XDAS_Int32 maxScans;
    XDAS_Int32 dataEndianness;
    XDAS_Int32 forceChromaFormat;   // XDM_YUV_422ILE (UYVY) or XDM_YUV_420SP
};
struct IMGDEC1_DynamicParams {
    XDAS_Int32 size;
    XDAS_Int32 numAU;
    XDAS_Int32 decodeHeader;
    XDAS_Int32 displayWidth;
};
extern const IMGDEC1_Params Idec1_Params_DEFAULT;
extern const IMGDEC1_DynamicParams Idec1_DynamicParams_DEFAULT;

struct Idec1_Object;
typedef Idec1_Object *Idec1_Handle;
Idec1_Handle Idec1_create(Engine_Handle e, const char *name, const IMGDEC1_Params *params,
                          const IMGDEC1_DynamicParams *dynParams);
// Decodes one image (SOI to EOI) into hDstBuf in the create's chroma format, setting its
// dimensions; bytes used of hDstBuf = line length x height (x 3 / 2 for NV12). Dmai_EOK or
// Dmai_EFAIL; hInBuf's bytes used become the bytes consumed.
int Idec1_process(Idec1_Handle h, Buffer_Handle hInBuf, Buffer_Handle hDstBuf);
int32_t Idec1_getOutBufSize(Idec1_Handle h);
int Idec1_delete(Idec1_Handle h);

// --- audio: "aacdec" ---
enum { AAC_FRAME_SAMPLES = 1024 };
struct AUDDEC1_Params {         // 16 bytes
    XDAS_Int32 size;
    XDAS_Int32 outputPCMWidth;  // 16
    XDAS_Int32 pcmFormat;       // IAUDIO_INTERLEAVED
    XDAS_Int32 dataEndianness;
};
struct IAACDEC_Params {         // 52 bytes: "aacdec" extensions
    AUDDEC1_Params auddecParams;
    XDAS_Int32 downSampleSbr;   // the first extension: 0
    XDAS_Int32 rawFormat;       // the second: 1 = raw AAC frames (MP4), 0 = ADTS
    XDAS_Int32 rawSampleRate;   // raw frames: AAC LC at this rate, two channels
    XDAS_Int32 reserved[6];
};
static_assert(sizeof(IAACDEC_Params) == 52);
struct AUDDEC1_DynamicParams {
    XDAS_Int32 size;
    XDAS_Int32 downSampleSbrFlag;
};
extern const IAACDEC_Params Adec1_Params_DEFAULT;
extern const AUDDEC1_DynamicParams Adec1_DynamicParams_DEFAULT;

struct Adec1_Object;
typedef Adec1_Object *Adec1_Handle;
// params may be the base record (ADTS) or the 52-byte "aacdec" record.
Adec1_Handle Adec1_create(Engine_Handle e, const char *name, const AUDDEC1_Params *params,
                          const AUDDEC1_DynamicParams *dynParams);
// Decodes one AAC frame from the start of hInBuf (ADTS: header and payload; raw: the whole
// bytes used) into 16-bit interleaved stereo in hOutBuf (mono is doubled). Dmai_EOK, or
// Dmai_EFAIL with nothing consumed (no whole frame, damage, output larger than hOutBuf).
int Adec1_process(Adec1_Handle h, Buffer_Handle hInBuf, Buffer_Handle hOutBuf);
int Adec1_getInBufSize(Adec1_Handle h);
int Adec1_getOutBufSize(Adec1_Handle h);
// Rate of the last decoded frame (the create's rate before).
int Adec1_getSampleRate(Adec1_Handle h);
int Adec1_delete(Adec1_Handle h);
