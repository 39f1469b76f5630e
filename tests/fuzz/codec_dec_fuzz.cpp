// Received units reach the decoders as they came off the network: whatever the bytes, each call
// consumes within what it was given, writes only inside the caller's buffers, and a walk over
// the input ends.
#include "audio/playback.h"
#include "platform/codec_dec.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Decoders {
    Engine_Handle e = Engine_open("encode", nullptr, nullptr);
    Vdec2_Handle h264 = nullptr, mpeg4 = nullptr;
    Idec1_Handle jpeg = nullptr;
    Adec1_Handle adts = nullptr, raw = nullptr;
    Decoders()
    {
        VIDDEC2_Params vp = Vdec2_Params_DEFAULT;
        vp.maxWidth = 352;      // small pictures keep the runs quick
        vp.maxHeight = 288;
        h264 = Vdec2_create(e, "h264dec", &vp, &Vdec2_DynamicParams_DEFAULT);
        mpeg4 = Vdec2_create(e, "mpeg4dec", &vp, &Vdec2_DynamicParams_DEFAULT);
        IMGDEC1_Params ip = Idec1_Params_DEFAULT;
        ip.maxWidth = 352;
        ip.maxHeight = 288;
        jpeg = Idec1_create(e, "jpegdec", &ip, &Idec1_DynamicParams_DEFAULT);
        IAACDEC_Params ap = Adec1_Params_DEFAULT;
        adts = Adec1_create(e, "aacdec", &ap.auddecParams, &Adec1_DynamicParams_DEFAULT);
        ap.rawFormat = 1;
        ap.rawSampleRate = 44100;
        raw = Adec1_create(e, "aacdec", &ap.auddecParams, &Adec1_DynamicParams_DEFAULT);
    }
};

Buffer_Handle reference()
{
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.reference = true;
    return Buffer_create(1, &a);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Decoders d;
    static Buffer_Handle ref = reference();
    static Buffer_Handle frame = Buffer_create(352 * 288 * 2, &BufferGfx_Attrs_DEFAULT);
    static Buffer_Handle pcm = Buffer_create(4096, &Buffer_Attrs_DEFAULT);
    if (size < 1)
        return 0;
    int which = data[0] % 5;
    // An exact copy, so reads past the end are caught.
    std::vector<uint8_t> in(data + 1, data + size);
    size_t pos = 0;
    for (int calls = 0; pos < in.size() && calls < 64; calls++) {
        Buffer_setUserPtr(ref, in.data() + pos);
        Buffer_setSize(ref, in.size() - pos);
        Buffer_setNumBytesUsed(ref, in.size() - pos);
        switch (which) {
        case 0:
        case 1:
            Vdec2_process(which ? d.mpeg4 : d.h264, ref, frame);
            while (Vdec2_getDisplayBuf(which ? d.mpeg4 : d.h264)) {
            }
            while (Vdec2_getFreeBuf(which ? d.mpeg4 : d.h264)) {
            }
            break;
        case 2:
            Idec1_process(d.jpeg, ref, frame);
            break;
        default: {
            AdtsHeader h;
            playback_adts_header(in.data() + pos, in.size() - pos, &h);
            Adec1_process(which == 3 ? d.adts : d.raw, ref, pcm);
            break;
        }
        }
        size_t used = Buffer_getNumBytesUsed(ref);
        if (used > in.size() - pos)
            __builtin_trap();
        if (used == 0)
            break;
        pos += used;
    }
    return 0;
}
