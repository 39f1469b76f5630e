// The codec engine: an engine opened by name hands out algorithm instances by name
// ("h264enc", "mpeg4enc", "jpegenc"; the decoders join the same engine). Each instance is
// driven through create / control / process / delete with parameter records whose first
// word is their size, so a caller may pass the base record or the codec's extended one.
//
// What callers rely on: one output per input picture, no frame delay; H.264 as Annex B with
// 4-byte start codes and SPS+PPS before every IDR, no B-frames; MPEG-4 with its VOS/VOL header
// only in the first output after create or reset; JPEG from SOI to EOI. Output that does not
// fit the caller's buffer is never written past its end: the call fails with
// XDM_INSUFFICIENTDATA and bytesGenerated says how much was needed.
#pragma once
#include <cstdint>

typedef int32_t XDAS_Int32;

enum { XDM_EOK = 0, XDM_EFAIL = -1, XDM_EUNSUPPORTED = -3 };
enum XDM_CmdId { XDM_GETSTATUS = 0, XDM_SETPARAMS = 1, XDM_RESET = 2, XDM_SETDEFAULT = 3,
                 XDM_FLUSH = 4, XDM_GETBUFINFO = 5 };
// Bits of extendedError above the codec's own low-order code.
enum { XDM_PARAMSCHANGE = 8, XDM_APPLIEDCONCEALMENT = 9, XDM_INSUFFICIENTDATA = 10,
       XDM_CORRUPTEDDATA = 11, XDM_CORRUPTEDHEADER = 12, XDM_UNSUPPORTEDINPUT = 13,
       XDM_UNSUPPORTEDPARAM = 14, XDM_FATALERROR = 15 };
#define XDM_ISFATALERROR(x) (((x) >> XDM_FATALERROR) & 1)
enum { XDM_BYTE = 1 };
enum XDM_ChromaFormat { XDM_YUV_420P = 1, XDM_YUV_422P = 2, XDM_YUV_422ILE = 4, XDM_GRAY = 7,
                        XDM_YUV_420SP = 9 };
enum IVIDEO_FrameType { IVIDEO_NA_FRAME = -1, IVIDEO_I_FRAME = 0, IVIDEO_P_FRAME = 1,
                        IVIDEO_B_FRAME = 2, IVIDEO_IDR_FRAME = 3 };
enum IVIDEO_RateControlPreset { IVIDEO_LOW_DELAY = 1, IVIDEO_STORAGE = 2, IVIDEO_TWOPASS = 3,
                                IVIDEO_NONE = 4, IVIDEO_USER_DEFINED = 5 };
enum IVIDEO_ContentType { IVIDEO_PROGRESSIVE = 0, IVIDEO_INTERLACED = 1 };
enum { XDM_MAX_IO_BUFFERS = 16 };

// --- engine ---
enum Engine_Error { Engine_EOK = 0, Engine_EEXIST = 1, Engine_ENOMEM = 2, Engine_EINVAL = 10,
                    Engine_ENOTAVAIL = 12, Engine_ECODECCREATE = 8, Engine_ENOTFOUND = 15 };
struct Engine_Object;
typedef Engine_Object *Engine_Handle;
// The only engine is "encode"; another name gives null with Engine_EEXIST in *ec.
Engine_Handle Engine_open(const char *name, const void *attrs, Engine_Error *ec);
void Engine_close(Engine_Handle e);
// The error of the engine's last failed call (a create of an unknown algorithm: Engine_ENOTFOUND).
Engine_Error Engine_getLastError(Engine_Handle e);

// --- buffer descriptors ---
struct XDM1_SingleBufDesc {
    uint8_t *buf;
    XDAS_Int32 bufSize;
    XDAS_Int32 accessMask;
};
struct XDM1_BufDesc {
    XDAS_Int32 numBufs;
    XDM1_SingleBufDesc descs[XDM_MAX_IO_BUFFERS];
};
struct IVIDEO1_BufDescIn {          // one picture: plane 0 luma, plane 1 interleaved chroma
    XDAS_Int32 numBufs;
    XDAS_Int32 frameWidth;
    XDAS_Int32 frameHeight;
    XDAS_Int32 framePitch;
    XDM1_SingleBufDesc bufDesc[3];
};
struct XDM_BufDesc {                // output buffers: the first takes the coded picture
    uint8_t **bufs;
    XDAS_Int32 numBufs;
    XDAS_Int32 *bufSizes;
};
struct XDM_AlgBufInfo {
    XDAS_Int32 minNumInBufs;
    XDAS_Int32 minNumOutBufs;
    XDAS_Int32 minInBufSize[XDM_MAX_IO_BUFFERS];
    XDAS_Int32 minOutBufSize[XDM_MAX_IO_BUFFERS];
};

// --- video encoders: "h264enc", "mpeg4enc" ---
struct VIDENC1_Params {
    XDAS_Int32 size;
    XDAS_Int32 encodingPreset;
    XDAS_Int32 rateControlPreset;   // IVIDEO_RateControlPreset
    XDAS_Int32 maxHeight;
    XDAS_Int32 maxWidth;
    XDAS_Int32 maxFrameRate;        // frames per 1000 s
    XDAS_Int32 maxBitRate;
    XDAS_Int32 dataEndianness;
    XDAS_Int32 maxInterFrameInterval;
    XDAS_Int32 inputChromaFormat;
    XDAS_Int32 inputContentType;
    XDAS_Int32 reconChromaFormat;
};
struct VIDENC1_DynamicParams {
    XDAS_Int32 size;
    XDAS_Int32 inputHeight;
    XDAS_Int32 inputWidth;
    XDAS_Int32 refFrameRate;        // frames per 1000 s
    XDAS_Int32 targetFrameRate;
    XDAS_Int32 targetBitRate;       // bits per second
    XDAS_Int32 intraFrameInterval;  // 0: only the first picture is intra
    XDAS_Int32 generateHeader;
    XDAS_Int32 captureWidth;        // line length of the input in pixels, 0 = width
    XDAS_Int32 forceFrame;          // IVIDEO_FrameType or -1
    XDAS_Int32 interFrameInterval;
    XDAS_Int32 mbDataFlag;
};
struct VIDENC1_InArgs {
    XDAS_Int32 size;
    XDAS_Int32 inputID;
    XDAS_Int32 topFieldFirstFlag;
};
struct VIDENC1_OutArgs {
    XDAS_Int32 size;
    XDAS_Int32 extendedError;
    XDAS_Int32 bytesGenerated;
    XDAS_Int32 encodedFrameType;    // IVIDEO_FrameType
    XDAS_Int32 inputFrameSkip;
    XDAS_Int32 outputID;
};
struct VIDENC1_Status {
    XDAS_Int32 size;
    XDAS_Int32 extendedError;
    XDM_AlgBufInfo bufInfo;
};

// H.264 extensions ("h264enc").
struct IH264VENC_Params {
    VIDENC1_Params videncParams;
    XDAS_Int32 profileIdc;          // 66 baseline, 77 main, 100 high
    XDAS_Int32 levelIdc;            // 10 x level, 9 = 1b
    XDAS_Int32 entropyMode;         // 0 CAVLC, 1 CABAC
    XDAS_Int32 transform8x8FlagIntraFrame;
    XDAS_Int32 transform8x8FlagInterFrame;
    XDAS_Int32 seqScalingFlag;
    XDAS_Int32 encQuality;
    XDAS_Int32 meAlgo;
    XDAS_Int32 enableVUIparams;
    XDAS_Int32 sliceMode;
    XDAS_Int32 outputDataMode;
    XDAS_Int32 sliceFormat;
    XDAS_Int32 reserved[4];
};
struct IH264VENC_VUIParams {
    XDAS_Int32 aspectRatioInfoPresentFlag;
    XDAS_Int32 sarWidth;
    XDAS_Int32 sarHeight;
    XDAS_Int32 timingInfoPresentFlag;
    XDAS_Int32 numUnitsInTicks;
    XDAS_Int32 timeScale;
    XDAS_Int32 fixedFrameRateFlag;
};
// Unit callback of slice mode; the stand-in never calls it (no slice mode).
typedef XDAS_Int32 (*IH264VENC_PutDataGetSpaceFxn)(void *handle, void *dataDesc);
enum IH264VENC_RcAlgo { IH264VENC_RC_CBR = 0, IH264VENC_RC_VBR = 1, IH264VENC_RC_FIXED_QP = 2,
                        IH264VENC_RC_CVBR = 3, IH264VENC_RC_FIXED_RC = 4,
                        IH264VENC_RC_CBR_LOW_DELAY = 5, IH264VENC_RC_CBR_STRICT = 6 };
struct IH264VENC_DynamicParams {
    VIDENC1_DynamicParams videncDynamicParams;
    XDAS_Int32 intraFrameQP;
    XDAS_Int32 interPFrameQP;
    XDAS_Int32 initQ;               // -1: the codec chooses
    XDAS_Int32 rcQMax;
    XDAS_Int32 rcQMin;
    XDAS_Int32 rcQMaxI;
    XDAS_Int32 rcQMinI;
    XDAS_Int32 rcAlgo;              // IH264VENC_RcAlgo
    XDAS_Int32 maxDelay;            // ms of rate-control buffer
    XDAS_Int32 idrFrameInterval;
    XDAS_Int32 aspectRatioX;
    XDAS_Int32 aspectRatioY;
    XDAS_Int32 enablePicTimSEI;
    XDAS_Int32 resetHDVICPeveryFrame;
    XDAS_Int32 maxBitrateCVBR;
    XDAS_Int32 interlaceRefMode;
    XDAS_Int32 enableGDR;
    XDAS_Int32 GDRduration;
    XDAS_Int32 GDRinterval;
    XDAS_Int32 CVBRminbitrate;      // kbit/s
    IH264VENC_VUIParams *VUI_Buffer;
    IH264VENC_PutDataGetSpaceFxn putDataGetSpaceFxn;
    void *dataSyncHandle;
    XDAS_Int32 reserved[4];
};
enum IH264VENC_Error {              // low byte of extendedError
    IH264VENC_ERR_MAXWIDTH = 0x01, IH264VENC_ERR_MAXHEIGHT = 0x02, IH264VENC_ERR_INPUTCHROMAFORMAT = 0x03,
    IH264VENC_ERR_PROFILEIDC = 0x04, IH264VENC_ERR_LEVELIDC = 0x05, IH264VENC_ERR_ENTROPYMODE = 0x06,
    IH264VENC_ERR_INPUTWIDTH = 0x07, IH264VENC_ERR_INPUTHEIGHT = 0x08, IH264VENC_ERR_CAPTUREWIDTH = 0x09,
    IH264VENC_ERR_TARGETFRAMERATE = 0x0a, IH264VENC_ERR_TARGETBITRATE = 0x0b, IH264VENC_ERR_RCALGO = 0x0c,
    IH264VENC_ERR_QPRANGE = 0x0d, IH264VENC_ERR_INPUTBUF = 0x0e, IH264VENC_ERR_OUTPUTBUF = 0x0f,
    IH264VENC_ERR_CODEC = 0x10, IH264VENC_WARN_LEVELIDC = 0x41,
};

// MPEG-4 simple profile extensions ("mpeg4enc").
struct IMPEG4VENC_Params {
    VIDENC1_Params videncParams;
    XDAS_Int32 aspectRatioCode;     // ISO 14496-2 pixel aspect ratio code, 1 = square
    XDAS_Int32 reserved[3];
};
struct IMPEG4VENC_DynamicParams {
    VIDENC1_DynamicParams videncDynamicParams;
    XDAS_Int32 mvDataEnable;
    XDAS_Int32 resyncInterval;
    XDAS_Int32 intraFrameQP;
    XDAS_Int32 interPFrameQP;
    XDAS_Int32 airRate;
    XDAS_Int32 hecInterval;
    XDAS_Int32 useGov;
    XDAS_Int32 initQ;
    XDAS_Int32 rcQMax;
    XDAS_Int32 rcQMin;
    XDAS_Int32 maxDelay;            // ms of rate-control buffer
    XDAS_Int32 qpInterB;
    XDAS_Int32 useUmv;
    XDAS_Int32 useVos;              // VOS/VOL header in front of the first output
    XDAS_Int32 reserved;
};
static_assert(sizeof(IMPEG4VENC_DynamicParams) == 108);
enum IMPEG4VENC_Error {          // the whole extendedError (its XDM bits included)
    MPEG4VENC_ERR_MAXWIDTH = 0x8001, MPEG4VENC_ERR_MAXHEIGHT = 0x8002,
    MPEG4VENC_ERR_INPUTCHROMAFORMAT = 0x8003, MPEG4VENC_ERR_INPUTWIDTH = 0x8004,
    MPEG4VENC_ERR_INPUTHEIGHT = 0x8005, MPEG4VENC_ERR_CAPTUREWIDTH = 0x8006,
    MPEG4VENC_ERR_TARGETFRAMERATE = 0x8007, MPEG4VENC_ERR_TARGETBITRATE = 0x8008,
    MPEG4VENC_ERR_QPRANGE = 0x8009, MPEG4VENC_ERR_RATECONTROL = 0x800A,
    MPEG4VENC_ERR_INPUTBUF = 0xA000, MPEG4VENC_ERR_OUTPUTBUF = 0xA001, MPEG4VENC_ERR_CODEC = 0xA002,
};

struct VIDENC1_Object;
typedef VIDENC1_Object *VIDENC1_Handle;
// Null for an unknown name (the engine's last error says why) or unusable static parameters.
VIDENC1_Handle VIDENC1_create(Engine_Handle e, const char *name, const VIDENC1_Params *params);
XDAS_Int32 VIDENC1_control(VIDENC1_Handle h, XDM_CmdId cmd, VIDENC1_DynamicParams *dyn,
                           VIDENC1_Status *status);
XDAS_Int32 VIDENC1_process(VIDENC1_Handle h, IVIDEO1_BufDescIn *inBufs, XDM_BufDesc *outBufs,
                           VIDENC1_InArgs *inArgs, VIDENC1_OutArgs *outArgs);
void VIDENC1_delete(VIDENC1_Handle h);

// --- image encoder: "jpegenc" ---
struct IMGENC1_Params {
    XDAS_Int32 size;
    XDAS_Int32 maxHeight;
    XDAS_Int32 maxWidth;
    XDAS_Int32 maxScans;
    XDAS_Int32 dataEndianness;
    XDAS_Int32 forceChromaFormat;
};
struct IMGENC1_DynamicParams {
    XDAS_Int32 size;
    XDAS_Int32 numAU;
    XDAS_Int32 inputChromaFormat;   // XDM_YUV_420SP or XDM_YUV_422ILE
    XDAS_Int32 inputHeight;
    XDAS_Int32 inputWidth;
    XDAS_Int32 captureWidth;        // line length in pixels
    XDAS_Int32 generateHeader;
    XDAS_Int32 qValue;              // 1..100
};
struct IJPEGENC_DynamicParams {
    IMGENC1_DynamicParams imgencDynamicParams;
    XDAS_Int32 rstInterval;
    XDAS_Int32 disableEOI;
    XDAS_Int32 rotation;            // 0, 90, 180 or 270
    XDAS_Int32 reserved[3];
};
struct IMGENC1_InArgs {
    XDAS_Int32 size;
};
struct IMGENC1_OutArgs {
    XDAS_Int32 size;
    XDAS_Int32 extendedError;
    XDAS_Int32 bytesGenerated;
    XDAS_Int32 currentAU;
};
struct IMGENC1_Status {
    XDAS_Int32 size;
    XDAS_Int32 extendedError;
    XDM_AlgBufInfo bufInfo;
};
enum IJPEGENC_Error {               // low byte of extendedError
    JPEGENC_ERR_MAXWIDTH = 1, JPEGENC_ERR_MAXHEIGHT = 2, JPEGENC_ERR_MAXSCANS = 3,
    JPEGENC_ERR_DATAENDIANNESS = 4, JPEGENC_ERR_FORCECHROMAFORMAT = 5, JPEGENC_ERR_NUMAU = 6,
    JPEGENC_ERR_INPUTCHROMAFORMAT = 7, JPEGENC_ERR_INPUTHEIGHT = 8, JPEGENC_ERR_INPUTWIDTH = 9,
    JPEGENC_ERR_CAPTUREWIDTH = 10, JPEGENC_ERR_GENERATEHEADER = 11, JPEGENC_ERR_QVALUE = 12,
    JPEGENC_ERR_RSTINTERVAL = 13, JPEGENC_ERR_ROTATION = 14, JPEGENC_ERR_DISABLEEOI = 15,
};

struct IMGENC1_Object;
typedef IMGENC1_Object *IMGENC1_Handle;
IMGENC1_Handle IMGENC1_create(Engine_Handle e, const char *name, const IMGENC1_Params *params);
XDAS_Int32 IMGENC1_control(IMGENC1_Handle h, XDM_CmdId cmd, IMGENC1_DynamicParams *dyn,
                           IMGENC1_Status *status);
// Input: plane 0 the picture (NV12: luma, plane 1 chroma; UYVY: one plane).
XDAS_Int32 IMGENC1_process(IMGENC1_Handle h, XDM1_BufDesc *inBufs, XDM1_BufDesc *outBufs,
                           IMGENC1_InArgs *inArgs, IMGENC1_OutArgs *outArgs);
void IMGENC1_delete(IMGENC1_Handle h);
