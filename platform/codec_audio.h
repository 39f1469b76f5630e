// Audio encoders of the codec engine ("aacenc") and their buffer-level wrapper, as the sound
// thread drives them.
//
// What callers rely on: input is one period of 1024 frames of 16-bit interleaved PCM per call;
// output is at most one AAC LC frame per call (none while the encoder primes, so a call may
// produce 0 bytes), in ADTS with a 7-byte header without CRC when asked, raw otherwise. A bit
// rate set through the control call takes effect on the living encoder.
#pragma once
#include "platform/codec.h"
#include "platform/dmai.h"

enum IAUDIO_ChannelMode { IAUDIO_1_0 = 0, IAUDIO_2_0 = 1 };
enum IAUDIO_PcmFormat { IAUDIO_BLOCK = 0, IAUDIO_INTERLEAVED = 1 };
enum IAUDIO_EncMode { IAUDIO_CBR = 0, IAUDIO_VBR = 1 };

struct AUDENC1_Params {
    XDAS_Int32 size;
    XDAS_Int32 sampleRate;
    XDAS_Int32 bitRate;
    XDAS_Int32 channelMode;         // IAUDIO_ChannelMode
    XDAS_Int32 dataEndianness;
    XDAS_Int32 encMode;
    XDAS_Int32 inputFormat;         // IAUDIO_PcmFormat
    XDAS_Int32 inputBitsPerSample;
    XDAS_Int32 maxBitRate;
    XDAS_Int32 dualMonoMode;
    XDAS_Int32 crcFlag;
    XDAS_Int32 ancFlag;
    XDAS_Int32 lfeFlag;
};
struct IAACENC_Params {             // "aacenc" extensions
    AUDENC1_Params audencParams;
    XDAS_Int32 useADTS;             // 1: every frame carries an ADTS header
};
struct AUDENC1_DynamicParams {      // 28 bytes
    XDAS_Int32 size;
    XDAS_Int32 bitRate;
    XDAS_Int32 sampleRate;
    XDAS_Int32 channelMode;
    XDAS_Int32 lfeFlag;
    XDAS_Int32 dualMonoMode;
    XDAS_Int32 inputBitsPerSample;
};
static_assert(sizeof(AUDENC1_DynamicParams) == 28);
struct AUDENC1_Status {             // the codec's status record is 180 bytes
    XDAS_Int32 size;
    XDAS_Int32 extendedError;
    XDAS_Int32 bitRate;
    XDAS_Int32 sampleRate;
    XDAS_Int32 channelMode;
    XDAS_Int32 reserved[40];
};
static_assert(sizeof(AUDENC1_Status) == 180);

extern const AUDENC1_Params Aenc1_Params_DEFAULT;
extern const AUDENC1_DynamicParams Aenc1_DynamicParams_DEFAULT;

struct AUDENC1_Object;
typedef AUDENC1_Object *AUDENC1_Handle;
XDAS_Int32 AUDENC1_control(AUDENC1_Handle h, XDM_CmdId cmd, AUDENC1_DynamicParams *dyn, AUDENC1_Status *status);

struct Aenc1_Object;
typedef Aenc1_Object *Aenc1_Handle;
// Null for an unknown name (the engine's last error says why) or unusable parameters.
Aenc1_Handle Aenc1_create(Engine_Handle e, const char *name, const AUDENC1_Params *params,
                          const AUDENC1_DynamicParams *dynParams);
// Encodes the bytes used of hInBuf; sets hOutBuf's bytes used to the bytes produced (0 while
// priming). Dmai_EOK, or Dmai_EFAIL (bad input size, output larger than hOutBuf).
int Aenc1_process(Aenc1_Handle h, Buffer_Handle hInBuf, Buffer_Handle hOutBuf);
int Aenc1_getInBufSize(Aenc1_Handle h);
int Aenc1_getOutBufSize(Aenc1_Handle h);
AUDENC1_Handle Aenc1_getVisaHandle(Aenc1_Handle h);
int Aenc1_delete(Aenc1_Handle h);
