// Placeholder bodies until the decoders land.
#include "platform/codec_dec.h"

const VIDDEC2_Params Vdec2_Params_DEFAULT = {sizeof(VIDDEC2_Params), 576, 720, 30000, 0xa00000, XDM_BYTE, XDM_YUV_420SP};
const VIDDEC2_DynamicParams Vdec2_DynamicParams_DEFAULT = {sizeof(VIDDEC2_DynamicParams), 0, 0, 0, 0, 0, 0, {0, 0}, 1, {0, 0, 0}};
const IMGDEC1_Params Idec1_Params_DEFAULT = {sizeof(IMGDEC1_Params), 576, 720, 1, XDM_BYTE, XDM_YUV_422ILE};
const IMGDEC1_DynamicParams Idec1_DynamicParams_DEFAULT = {sizeof(IMGDEC1_DynamicParams), 0, 0, 0};
const IAACDEC_Params Adec1_Params_DEFAULT = {{sizeof(IAACDEC_Params), 16, 1, XDM_BYTE}, 0, 0, 48000, {0, 0, 0, 0, 0, 0}};
const AUDDEC1_DynamicParams Adec1_DynamicParams_DEFAULT = {sizeof(AUDDEC1_DynamicParams), 0};

Vdec2_Handle Vdec2_create(Engine_Handle, const char *, const VIDDEC2_Params *, const VIDDEC2_DynamicParams *) { return nullptr; }
int Vdec2_process(Vdec2_Handle, Buffer_Handle, Buffer_Handle) { return Dmai_EFAIL; }
int Vdec2_flush(Vdec2_Handle) { return Dmai_EOK; }
Buffer_Handle Vdec2_getDisplayBuf(Vdec2_Handle) { return nullptr; }
Buffer_Handle Vdec2_getFreeBuf(Vdec2_Handle) { return nullptr; }
int Vdec2_getMinOutBufs(Vdec2_Handle) { return 0; }
int32_t Vdec2_getOutBufSize(Vdec2_Handle) { return 0; }
void Vdec2_setBufTab(Vdec2_Handle, BufTab_Handle) {}
BufTab_Handle Vdec2_getBufTab(Vdec2_Handle) { return nullptr; }
int Vdec2_delete(Vdec2_Handle) { return 0; }
Idec1_Handle Idec1_create(Engine_Handle, const char *, const IMGDEC1_Params *, const IMGDEC1_DynamicParams *) { return nullptr; }
int Idec1_process(Idec1_Handle, Buffer_Handle, Buffer_Handle) { return Dmai_EFAIL; }
int32_t Idec1_getOutBufSize(Idec1_Handle) { return 0; }
int Idec1_delete(Idec1_Handle) { return 0; }
Adec1_Handle Adec1_create(Engine_Handle, const char *, const AUDDEC1_Params *, const AUDDEC1_DynamicParams *) { return nullptr; }
int Adec1_process(Adec1_Handle, Buffer_Handle, Buffer_Handle) { return Dmai_EFAIL; }
int Adec1_getInBufSize(Adec1_Handle) { return 0; }
int Adec1_getOutBufSize(Adec1_Handle) { return 0; }
int Adec1_getSampleRate(Adec1_Handle) { return 0; }
int Adec1_delete(Adec1_Handle) { return 0; }
