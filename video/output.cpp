// The output thread: owns stream 3, opens the network input on each start, runs receive rounds
// and the consume step, and drives the decoders and the hand-offs to display and playback.
#include "video/output.h"

#include "audio/playback.h"
#include "core/log.h"
#include "core/param.h"
#include "core/quit.h"
#include "core/soc.h"
#include "core/threads.h"
#include "platform/codec_dec.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "video/capture.h"
#include "video/display.h"
#include "video/framecopy.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/time.h>

namespace {

enum { FRAME_BUFFERS = 18, FRAME_SIZE = 0xbd000, AUDIO_WAIT_MS = 100 };

struct Output {
    OutputEnv *env;
    StreamRunState run;
    Engine_Handle engine = nullptr;
    BufTab_Handle frames = nullptr;
    Buffer_Handle hRx = nullptr;
    Buffer_Handle hRef = nullptr;
    Vdec2_Handle vdec = nullptr;
    int vdecCodec = 0;
    Idec1_Handle idec = nullptr;
    OutputReceiveState rs;
    OutputConsumer cons;
    OutputSink sink;
    FrameMessage *audioRec = nullptr;
    bool hasAudio = false;      // the format carries audio: pace pictures by its clock
    uint32_t framesDecoded = 0;
    bool firstFrame = true;
    uint64_t decodeUs = 0;
    uint64_t startUs = 0;
    int width = 0, height = 0;
    // Decoded pictures waiting for a display record, oldest first. With sound the thread must
    // read on past the pictures the display holds: the transport stream carries a picture's
    // audio later than the picture, and the card starts only once its buffer is full.
    struct Pending {
        Buffer_Handle buf;
        uint32_t ts;
    } pending[FRAME_BUFFERS];
    int pendingHead = 0, pendingCount = 0;
};

Output out;

uint64_t now_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000u + (uint64_t)t.tv_nsec / 1000u;
}

void sleep_ms(int ms)
{
    timespec t = {ms / 1000, (long)(ms % 1000) * 1000000l};
    nanosleep(&t, nullptr);
}

bool stopping(Output *o)
{
    return quit_requested() != 0 || stream_stop_pending(&o->run) != 0;
}

// A free display record, waiting in 10 ms steps while the display shows decoded video (not
// at all when wait is false).
FrameMessage *display_record(Output *o, bool wait = true)
{
    DisplayEnv *d = o->env->display;
    while (true) {
        void *m = nullptr;
        if (Fifo_get_nonblocking(d->hToOutput, &m) == Dmai_EOK && m)
            return static_cast<FrameMessage *>(m);
        if (!wait || d->mode != DISPLAY_DECODED || quit_requested())
            return nullptr;
        pollfd p = {Fifo_getFd(d->hToOutput), POLLIN, 0};
        poll(&p, 1, 10);
    }
}

// Pacing follows the audio clock, and only once audio of this stream has been played.
void update_pacing(Output *o)
{
    uint32_t offset = 0;
    if (o->hasAudio && playback_clock(&offset)) {
        display_clock_base = offset;
        o->env->display->pacing = 1;
    } else {
        o->env->display->pacing = 0;
    }
}

// Hands one picture over on record m.
int display_hand(Output *o, FrameMessage *m, Buffer_Handle buf, uint32_t ts)
{
    DisplayEnv *d = o->env->display;
    update_pacing(o);
    m->sequence = ++o->framesDecoded;
    m->flags &= (uint8_t)~FRAME_FLAG_PASSTHROUGH;
    m->timestamp = ts;
    m->frame = buf;
    Buffer_setUseMask(buf, (uint16_t)(Buffer_getUseMask(buf) | 2));
    if (Fifo_put(d->hFromCapture, m) != Dmai_EOK) {
        log_printf("%s %d: error putting fifo to display\n", o->env->name, __LINE__);
        Buffer_freeUseMask(buf, 2);
        return -1;
    }
    return 0;
}

void pending_drop_oldest(Output *o)
{
    Buffer_freeUseMask(o->pending[o->pendingHead].buf, 2);
    o->pendingHead = (o->pendingHead + 1) % FRAME_BUFFERS;
    o->pendingCount--;
}

// Hands waiting pictures to the display while it has records; with wait, at least the oldest
// (waiting for a record as long as the display shows decoded video). -1 on fifo errors.
int pending_flush(Output *o, bool wait)
{
    while (o->pendingCount > 0) {
        FrameMessage *m = display_record(o, wait);
        if (!m) {
            if (!wait)
                return 0;
            while (o->pendingCount > 0)   // not showing decoded video: dropped
                pending_drop_oldest(o);
            return 0;
        }
        wait = false;
        Output::Pending p = o->pending[o->pendingHead];
        o->pendingHead = (o->pendingHead + 1) % FRAME_BUFFERS;
        o->pendingCount--;
        if (display_hand(o, m, p.buf, p.ts) < 0)
            return -1;
    }
    return 0;
}

int output_display_put(Output *o, Buffer_Handle buf, uint32_t ts)
{
    if (pending_flush(o, false) < 0)
        return -1;
    if (o->pendingCount == 0) {
        FrameMessage *m = display_record(o, !o->hasAudio);
        if (m)
            return display_hand(o, m, buf, ts);
        if (!o->hasAudio)
            return 0;   // not showing decoded video: the picture is dropped
    }
    if (o->pendingCount == FRAME_BUFFERS && pending_flush(o, true) < 0)
        return -1;
    Buffer_setUseMask(buf, (uint16_t)(Buffer_getUseMask(buf) | 2));
    o->pending[(o->pendingHead + o->pendingCount) % FRAME_BUFFERS] = {buf, ts};
    o->pendingCount++;
    return 0;
}

// A free picture buffer; waits while the display holds pictures, never past a stop or quit.
Buffer_Handle free_frame(Output *o)
{
    while (true) {
        Buffer_Handle b = BufTab_getFreeBuf(o->frames);
        if (b)
            return b;
        if (o->pendingCount > 0) {
            // The waiting pictures hold the buffers: the oldest goes to the display first.
            if (pending_flush(o, true) < 0)
                return nullptr;
            continue;
        }
        if (Fifo_getNumEntries(o->env->display->hToOutput) >= DISPLAY_MESSAGES) {
            for (int i = 0; i < BufTab_getNumBufs(o->frames); i++)
                log_printf("Buffer %d use is %d\n", i, Buffer_getUseMask(BufTab_getBuf(o->frames, i)));
            return nullptr;
        }
        if (stopping(o))
            return nullptr;
        sleep_ms(40);
    }
}

int sink_create_video(void *user, int codec, bool recreate)
{
    Output *o = static_cast<Output *>(user);
    const char *name = codec == VIDEO_CODEC_H264 ? "h264dec" : codec == VIDEO_CODEC_MPEG4 ? "mpeg4dec" : "mpeg2dec";
    pthread_mutex_lock(&codec_mutex);
    if (o->vdec && (recreate || o->vdecCodec != codec)) {
        Vdec2_delete(o->vdec);
        o->vdec = nullptr;
    }
    if (!o->vdec) {
        IH264VDEC_Params h = {};
        h.viddecParams = Vdec2_Params_DEFAULT;
        h.viddecParams.maxHeight = 576;
        h.viddecParams.maxWidth = 720;
        h.viddecParams.maxFrameRate = 0;
        h.viddecParams.maxBitRate = 0xa00000;
        h.viddecParams.dataEndianness = XDM_BYTE;
        h.viddecParams.forceChromaFormat = XDM_YUV_420SP;
        VIDDEC2_Params base = h.viddecParams;
        if (codec == VIDEO_CODEC_H264) {
            h.viddecParams.size = sizeof h;
            h.levelLimit = 42;
            h.seiParsing = 1;
            h.vuiParsing = 1;
        }
        VIDDEC2_DynamicParams dyn = Vdec2_DynamicParams_DEFAULT;
        o->vdec = Vdec2_create(o->engine, name, codec == VIDEO_CODEC_H264 ? &h.viddecParams : &base, &dyn);
        if (o->vdec) {
            o->vdecCodec = codec;
            Vdec2_setBufTab(o->vdec, o->frames);
            for (int i = 0; i < BufTab_getNumBufs(o->frames); i++)
                Buffer_setUseMask(BufTab_getBuf(o->frames, i), 0);
        }
    }
    pthread_mutex_unlock(&codec_mutex);
    return o->vdec ? 0 : -1;
}

void first_frame(Output *o, Buffer_Handle b)
{
    BufferGfx_Dimensions dim;
    BufferGfx_getDimensions(b, &dim);
    o->width = dim.width;
    o->height = dim.height;
    log_printf("%s: dim %ldx%ld   (%ld)\n", o->env->name, (long)dim.width, (long)dim.height, (long)hw_clock_90khz());
    o->firstFrame = false;
}

int sink_decode_video(void *user, uint8_t *unit, size_t len, uint32_t ts)
{
    Output *o = static_cast<Output *>(user);
    if (!o->vdec)
        return -5;
    static uint8_t flushByte[8];
    if (len == 0) {
        if (o->firstFrame)
            return 0;
        log_printf("flushing codec\n");
        pthread_mutex_lock(&codec_mutex);
        Vdec2_flush(o->vdec);
        pthread_mutex_unlock(&codec_mutex);
        unit = flushByte;
        len = 1;
    }
    Buffer_Handle dst = free_frame(o);
    if (!dst)
        return -1;
    Buffer_setUseMask(dst, 1);
    BufferGfx_resetDimensions(dst);
    BufferGfx_setColorSpace(dst, ColorSpace_YUV420PSEMI);
    Buffer_setNumBytesUsed(dst, 0);
    Buffer_setUserPtr(o->hRef, unit);
    Buffer_setSize(o->hRef, len);
    Buffer_setNumBytesUsed(o->hRef, len);
    pthread_mutex_lock(&codec_mutex);
    uint64_t t0 = now_us();
    int r = Vdec2_process(o->vdec, o->hRef, dst);
    o->decodeUs += now_us() - t0;
    pthread_mutex_unlock(&codec_mutex);
    if (r < 0)
        log_printf("%s %d: failed to decode video buffer\n", o->env->name, __LINE__);
    int consumed = (int)Buffer_getNumBytesUsed(o->hRef);
    while (Buffer_Handle b = Vdec2_getDisplayBuf(o->vdec)) {
        if (o->firstFrame)
            first_frame(o, b);
        playback_release(o->env->playback);
        if (Buffer_getNumBytesUsed(b) == 0)
            log_printf("%s %d: %s: display buf is empty\n", o->env->name, __LINE__, "decode_video");
        else
            output_display_put(o, b, ts);
    }
    while (Buffer_Handle b = Vdec2_getFreeBuf(o->vdec))
        Buffer_freeUseMask(b, 1);
    Buffer_freeUseMask(dst, 1);   // the decoder keeps no buffer across calls
    if (r == Dmai_EFIRSTFIELD) {
        log_printf("%s %d: first field: %d to process, %d consumed\n", o->env->name, __LINE__, (int)len, consumed);
        return consumed > (int)len ? -4 : 0;
    }
    if (r == Dmai_EBITERROR) {
        log_printf("bit error: frame=%lu, offset=%llx, %d to process, %d consumed\n", (unsigned long)o->framesDecoded,
                   (unsigned long long)o->cons.offset, (int)len, consumed);
        return consumed < (int)len ? -6 : consumed;
    }
    if (r < 0) {
        log_printf("%s %d: failed\n", o->env->name, __LINE__);
        return -5;
    }
    if (consumed != (int)len)
        log_printf("%s: offset=%llx  %d to process, %d consumed\n", "decode_video", (unsigned long long)o->cons.offset,
                   (int)len, consumed);
    return consumed;
}

int create_image_decoder(Output *o)
{
    IMGDEC1_Params p = Idec1_Params_DEFAULT;
    p.maxHeight = 576;
    p.maxWidth = 720;
    p.dataEndianness = XDM_BYTE;
    p.forceChromaFormat = XDM_YUV_422ILE;
    IMGDEC1_DynamicParams dyn = Idec1_DynamicParams_DEFAULT;
    pthread_mutex_lock(&codec_mutex);
    if (o->idec)
        Idec1_delete(o->idec);
    o->idec = Idec1_create(o->engine, "jpegdec", &p, &dyn);
    pthread_mutex_unlock(&codec_mutex);
    if (!o->idec) {
        log_printf("%s %d: failed to create video decoder %s\n", o->env->name, __LINE__, "jpegdec");
        return -1;
    }
    return 0;
}

int sink_decode_jpeg(void *user, uint8_t *img, size_t len)
{
    Output *o = static_cast<Output *>(user);
    if (len < 4 || img[0] != 0xff || img[1] != 0xd8 || img[len - 2] != 0xff || img[len - 1] != 0xd9)
        log_printf("%s: %02x %02x .. %02x %02x\n", "decode_jpeg", img[0], len > 1 ? img[1] : 0,
                   len > 1 ? img[len - 2] : 0, img[len - 1]);
    Buffer_Handle dst;
    while (!(dst = BufTab_getFreeBuf(o->frames))) {
        if (stopping(o))
            return 0;
        log_printf("%s: video buffer not available yet\n", "decode_jpeg");
        sleep_ms(100);
    }
    Buffer_setUseMask(dst, 1);
    BufferGfx_resetDimensions(dst);
    BufferGfx_setColorSpace(dst, ColorSpace_UYVY);
    Buffer_setNumBytesUsed(dst, 0);
    Buffer_setUserPtr(o->hRef, img);
    Buffer_setSize(o->hRef, len);
    Buffer_setNumBytesUsed(o->hRef, len);
    pthread_mutex_lock(&codec_mutex);
    pthread_mutex_lock(&copy_engine_mutex);
    uint64_t t0 = now_us();
    int r = Idec1_process(o->idec, o->hRef, dst);
    o->decodeUs += now_us() - t0;
    pthread_mutex_unlock(&copy_engine_mutex);
    pthread_mutex_unlock(&codec_mutex);
    if (r != Dmai_EOK) {
        log_printf("%s: jpeg process return %d\n", "decode_jpeg", r);
        log_printf("offset is %llx .. %llx\n", (unsigned long long)o->cons.offset,
                   (unsigned long long)(o->cons.offset + len));
        Buffer_setUseMask(dst, 0);
        sleep_ms(10);
        return create_image_decoder(o);
    }
    size_t consumed = Buffer_getNumBytesUsed(o->hRef);
    if (consumed > len)
        log_printf("wtf rc=%d insize=%d offset=0x%llx  %02x %02x .. %02x %02x\n", (int)consumed, (int)len,
                   (unsigned long long)o->cons.offset, img[0], img[1], img[len - 2], img[len - 1]);
    if (o->firstFrame)
        first_frame(o, dst);
    Buffer_setUseMask(dst, 0);
    output_display_put(o, dst, hw_clock_90khz());
    return 0;
}

void sink_audio_start(void *user, int container)
{
    Output *o = static_cast<Output *>(user);
    o->env->playback->container = container;
    o->hasAudio = true;
    playback_release(o->env->playback);
}

uint8_t *sink_audio_get(void *user, size_t *capacity)
{
    Output *o = static_cast<Output *>(user);
    if (o->audioRec)
        playback_return_record(o->env->playback, o->audioRec);
    o->audioRec = playback_take_record(o->env->playback, AUDIO_WAIT_MS);
    if (!o->audioRec || !o->audioRec->frame) {
        o->audioRec = nullptr;
        return nullptr;
    }
    *capacity = Buffer_getSize(o->audioRec->frame);
    return Buffer_getUserPtr(o->audioRec->frame);
}

int sink_audio_put(void *user, size_t len, uint32_t ts)
{
    Output *o = static_cast<Output *>(user);
    FrameMessage *m = o->audioRec;
    o->audioRec = nullptr;
    if (!m)
        return 0;
    if (len == 0) {
        playback_return_record(o->env->playback, m);
        return 0;
    }
    Buffer_setNumBytesUsed(m->frame, len);
    if (playback_put_aac(o->env->playback, m, ts) < 0) {
        log_printf("%s %d: failed to put in audio fifo\n", o->env->name, __LINE__);
        o->env->status = -1;
        return -1;
    }
    return 0;
}

bool sink_audio_heard(void *, uint32_t *heard)
{
    uint32_t offset;
    if (!playback_clock(&offset))
        return false;
    *heard = hw_clock_90khz() - offset;
    return true;
}

bool sink_stop_requested(void *user)
{
    return stopping(static_cast<Output *>(user));
}

// Every picture back from the display, then the display idle and its records returned.
void stop_sequence(Output *o, bool decoded)
{
    OutputEnv *env = o->env;
    DisplayEnv *d = env->display;
    log_printf("%s stopped, %llu bytes decoded, lastpacket=%d drain=%d state=%d\n", env->name,
               (unsigned long long)o->rs.bytesReceived, o->rs.lastpacket, o->rs.drain,
               stream_get_state_by_id(OUTPUT_STREAM));
    if (o->framesDecoded) {
        uint64_t wall = now_us() - o->startUs;
        log_printf("%s %lu frames, codec time %llu ms (%f%%) %f FPS\n", env->name, (unsigned long)o->framesDecoded,
                   (unsigned long long)(o->decodeUs / 1000), wall ? 100.0 * (double)o->decodeUs / (double)wall : 0.0,
                   wall ? (double)o->framesDecoded * 1e6 / (double)wall : 0.0);
    }
    if (o->audioRec) {
        playback_return_record(env->playback, o->audioRec);
        o->audioRec = nullptr;
    }
    while (o->pendingCount > 0)
        pending_drop_oldest(o);
    o->pendingHead = 0;
    if (decoded && !quit_requested()) {
        // The display gives pictures back as it shows them; a display that stopped showing
        // decoded video hands them back on its next pass. Bounded: quit ends the wait.
        for (int waited = 0; !quit_requested(); waited += 5) {
            int held = -1;
            for (int i = 0; i < BufTab_getNumBufs(o->frames); i++)
                if (Buffer_getUseMask(BufTab_getBuf(o->frames, i)) & 2)
                    held = i;
            if (held < 0)
                break;
            if (waited % 1000 == 0)
                log_printf("waiting on buf %d %x\n", held, Buffer_getUseMask(BufTab_getBuf(o->frames, held)));
            if (waited >= 5000) {
                log_printf("%s: display kept buffer %d, taken back\n", env->name, held);
                break;
            }
            sleep_ms(5);
        }
        log_printf("all bufs reclaimed\n");
    }
    BufTab_freeAll(o->frames);
    if (d->mode == DISPLAY_RAW) {
        // The display buffer lent for raw decoding goes back with the display idle.
        void *m = nullptr;
        pollfd p = {Fifo_getFd(d->hRaw), POLLIN, 0};
        if (Fifo_get_nonblocking(d->hRaw, &m) != Dmai_EOK || !m) {
            poll(&p, 1, 200);
            m = nullptr;
            Fifo_get_nonblocking(d->hRaw, &m);
        }
        if (!m)
            log_printf("%s %d: Failed to get raw display buffer\n", env->name, __LINE__);
        d->mode = DISPLAY_IDLE;
        d->pacing = 0;
        if (m && Fifo_put(d->hFromCapture, m) != Dmai_EOK)
            log_printf("%s %d: Failed to put raw display buffer\n", env->name, __LINE__);
    }
    log_printf("before turn off display, envp->display->mode=%d\n", d->mode);
    if (d->mode == DISPLAY_DECODED) {
        d->mode = DISPLAY_IDLE;
        d->pacing = 0;
    }
    log_printf("before turn off display, getting buffers\n");
    void *m = nullptr;
    while (Fifo_get_nonblocking(d->hToOutput, &m) == Dmai_EOK && m) {
        FrameMessage *fm = static_cast<FrameMessage *>(m);
        fm->frame = nullptr;
        Fifo_put(d->hFromCapture, fm);
        m = nullptr;
    }
    log_printf("before pause off\n");
    playback_release(env->playback);
    output_close_input(&o->rs);
    env->status = 0;
    log_printf("%s done start=%d stop=%d\n", env->name, 0, 1);
    pthread_mutex_lock(&codec_mutex);
    if (o->idec)
        Idec1_delete(o->idec);
    o->idec = nullptr;
    pthread_mutex_unlock(&codec_mutex);
    output_consumer_done(&o->cons);
}

// A stream the thread ends itself: stopped, so the status reads so and a new start reopens.
void self_stop(Output *o)
{
    stream_set_state_by_id(OUTPUT_STREAM, STREAM_STOP);
}

void run_stream(Output *o)
{
    OutputEnv *env = o->env;
    ParamBlock *p = env->params;
    if (output_open_input(&o->rs, p, &o->run) < 0)
        return;   // logged; stream 3 already stopped
    o->rs.drain = false;
    o->rs.lastpacket = false;
    o->rs.bytesReceived = 0;
    o->framesDecoded = 0;
    o->firstFrame = true;
    o->decodeUs = 0;
    o->startUs = now_us();
    o->hasAudio = false;
    playback_clock_reset();
    int format = p->Display.StreamFormat;
    log_printf("output started, format=%d\n", format);
    if (output_consumer_init(&o->cons, &o->sink, format, o->rs.lowLatency) < 0) {
        log_printf("%s %d: invalid format\n", env->name, __LINE__);
        env->status = -1;
        stop_sequence(o, false);
        env->status = -1;
        self_stop(o);
        return;
    }
    OutputConsumer *c = &o->cons;
    log_printf("%s format is %x %x %x\n", "outputThrFxn", env->word, c->videoCodec, c->audioType);
    DisplayEnv *d = env->display;
    if (c->videoCodec == VIDEO_CODEC_JPEG) {
        if (create_image_decoder(o) < 0) {
            stop_sequence(o, false);
            env->status = -1;
            self_stop(o);
            return;
        }
    } else if (c->videoCodec == VIDEO_CODEC_H264 || c->videoCodec == VIDEO_CODEC_MPEG4) {
        if (sink_create_video(o, c->videoCodec, false) < 0) {
            log_printf("%s %d: failed to create video decoder %s\n", env->name, __LINE__, c->label);
            stop_sequence(o, false);
            env->status = -1;
            self_stop(o);
            return;
        }
    }
    d->colorSpace = c->videoCodec == VIDEO_CODEC_JPEG ? ColorSpace_UYVY : ColorSpace_YUV420PSEMI;
    d->pacing = 0;   // until audio of this stream is heard
    d->mode = DISPLAY_DECODED;
    o->hasAudio = c->audioType != AUDIO_TYPE_NONE;
    log_printf("%s start %s   displaymode=%d lastpacket=%d drain=%d start=%d stop=%d\n", env->name, c->label, d->mode,
               o->rs.lastpacket, o->rs.drain, 1, 0);
    while (!stopping(o)) {
        long fill = output_receive(&o->rs, o->framesDecoded);
        if (fill == OUTPUT_RECEIVE_ENDED)
            break;
        pending_flush(o, false);
        if (fill == 0 && !o->rs.lastpacket)
            continue;
        pthread_mutex_lock(&o->rs.mutex);
        size_t n = output_consume(c, o->rs.data, o->rs.fill, o->rs.size, o->rs.lastpacket);
        output_receive_consume(&o->rs, n);
        pthread_mutex_unlock(&o->rs.mutex);
        if (o->rs.transportIsTcp && (c->failed || o->rs.lastpacket)) {
            // One sender's end or bad data: the input waits for the next, as after a clean end.
            output_end_sender(&o->rs, o->rs.lastpacket ? "end of its data" : "its data could not be decoded");
            break;
        }
        if (c->failed) {
            if (env->status >= 0 && !o->rs.lastpacket)
                env->status = -1;
            self_stop(o);
            break;
        }
    }
    int status = env->status;
    stop_sequence(o, true);
    if (c->failed && status < 0)
        env->status = -1;
}

} // namespace

void *outputThrFxn(void *arg)
{
    OutputEnv *env = static_cast<OutputEnv *>(arg);
    Output *o = &out;
    o->env = env;
    o->sink = OutputSink{o,
                         sink_create_video,
                         sink_decode_video,
                         sink_decode_jpeg,
                         sink_audio_start,
                         sink_audio_get,
                         sink_audio_put,
                         sink_audio_heard,
                         sink_stop_requested};
    thread_init_begin(env->name);
    prctl(PR_SET_NAME, env->name);   // so its CPU can be told apart in /proc
    stream_register(&o->run, nullptr, OUTPUT_STREAM);
    env->status = 0;
    Engine_Error ec;
    o->engine = Engine_open(env->engineName, nullptr, &ec);
    if (!o->engine) {
        log_printf("%s %d: Failed to open codec engine %s\n", env->name, __LINE__, env->engineName);
        env->status = -1;
    }
    log_printf("output buffer size=%d\n", FRAME_SIZE);
    log_printf("memtab4_size=%d\n", 3328);
    log_printf("memtab5_size=%d\n", 0);
    log_printf("jpeg_buffer_size=%d\n", FRAME_SIZE);
    Buffer_Attrs ga = BufferGfx_Attrs_DEFAULT;
    ga.colorSpace = ColorSpace_YUV420PSEMI;
    ga.dim = {0, 0, 720, 576, 720};
    ga.useMask = 1;
    if (env->status == 0 && !(o->frames = BufTab_create(FRAME_BUFFERS, FRAME_SIZE, &ga))) {
        log_printf("%s %d: Failed to allocate contiguous buffers\n", env->name, __LINE__);
        env->status = -1;
    }
    if (env->status == 0 && !(o->hRx = Buffer_create(OUTPUT_RECEIVE_SIZE, &Buffer_Attrs_DEFAULT))) {
        log_printf("%s %d: Failed to create output buffer\n", env->name, __LINE__);
        env->status = -1;
    }
    Buffer_Attrs ra = Buffer_Attrs_DEFAULT;
    ra.reference = true;
    if (env->status == 0 && !(o->hRef = Buffer_create(1, &ra))) {
        log_printf("%s %d: Failed to create reference buffer\n", env->name, __LINE__);
        env->status = -1;
    }
    output_receive_init(&o->rs, o->hRx);
    bool ready = env->status == 0;
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);
    if (ready) {
        // Made at once, so the first start is quick.
        sink_create_video(o, VIDEO_CODEC_H264, false);
        if (env->params->Display.StartMode == 1)
            stream_set_state_by_id(OUTPUT_STREAM, STREAM_START);
    }
    while (!quit_requested()) {
        if (!ready) {
            quit_wait(200);
            continue;
        }
        if (!stream_wait_start(&o->run))
            continue;
        if (quit_requested())
            break;
        run_stream(o);
    }
    if (env->playback && env->playback->fifos[0])
        Fifo_flush(env->playback->fifos[0]);
    myRendezvousCleanup(env->hRendezvousCleanup, env->name);
    output_close_input(&o->rs);
    pthread_mutex_lock(&codec_mutex);
    if (o->vdec)
        Vdec2_delete(o->vdec);
    if (o->idec)
        Idec1_delete(o->idec);
    o->vdec = nullptr;
    o->idec = nullptr;
    pthread_mutex_unlock(&codec_mutex);
    BufTab_delete(o->frames);
    Buffer_delete(o->hRx);
    Buffer_delete(o->hRef);
    if (o->engine)
        Engine_close(o->engine);
    return nullptr;
}
