// The MP4 writer as a consumer's container: stream buffer mode when the consumer has a mux
// buffer, file mode (the recording) when it has none.
#include "streams/mp4.h"
#include "streams/stream_mux.h"

namespace {

// Consumers other than the recording get a handle without tracks: it writes nothing until
// the owner creates tracks on it.
void *mp4_mux_create(const StreamMuxSetup *)
{
    return mp4_new();
}

void mp4_mux_destroy(void *mux)
{
    mp4_muxer *m = static_cast<mp4_muxer *>(mux);
    mp4_finish(m);
    mp4_delete(m);
}

int mp4_mux_put(void *mux, uint32_t track, const StreamMuxFrame *f, uint8_t *out, uint32_t capacity, uint32_t *used)
{
    mp4_muxer *m = static_cast<mp4_muxer *>(mux);
    if (out)
        mp4_buf_put(m, out + *used, capacity > *used ? capacity - *used : 0);
    mp4_write_track(m, track, f->data, f->length, f->duration);
    if (out)
        *used += mp4_buf_drain(m);
    return mp4_has_error(m) ? -1 : 0;
}

int mp4_mux_put_video(void *mux, const StreamMuxFrame *f, uint8_t *out, uint32_t capacity, uint32_t *used)
{
    return mp4_mux_put(mux, 1, f, out, capacity, used);
}

int mp4_mux_put_audio(void *mux, const StreamMuxFrame *f, uint8_t *out, uint32_t capacity, uint32_t *used)
{
    return mp4_mux_put(mux, 2, f, out, capacity, used);
}

} // namespace

const StreamMuxOps mp4_mux_ops = {mp4_mux_create, mp4_mux_destroy, mp4_mux_put_video, mp4_mux_put_audio,
                                  mp4_set_compressor_name};
