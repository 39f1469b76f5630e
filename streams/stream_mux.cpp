#include "streams/stream_mux.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::atomic<const StreamMuxOps *> mux_ops[STREAM_MUX_TYPES] = {nullptr, &ts_mux_ops, &flv_mux_ops, nullptr};
char compressor_name[33];
std::once_flag compressor_once;

} // namespace

void stream_mux_register(int mux_type, const StreamMuxOps *ops)
{
    if (mux_type <= STREAM_MUX_ES || mux_type >= STREAM_MUX_TYPES)
        return;
    mux_ops[mux_type].store(ops);
    if (ops && ops->set_compressor_name && compressor_name[0])
        ops->set_compressor_name(compressor_name);
}

const StreamMuxOps *stream_mux_ops(int mux_type)
{
    if (mux_type <= STREAM_MUX_ES || mux_type >= STREAM_MUX_TYPES)
        return nullptr;
    return mux_ops[mux_type].load();
}

void stream_mux_set_compressor_name(const char *name)
{
    // Every producer registers at start-up with the same text: set it once.
    std::call_once(compressor_once, [name] { strncpy(compressor_name, name, sizeof compressor_name - 1); });
    const StreamMuxOps *ops = stream_mux_ops(STREAM_MUX_MP4);
    if (ops && ops->set_compressor_name)
        ops->set_compressor_name(compressor_name);
}

const char *stream_mux_compressor_name()
{
    return compressor_name;
}
