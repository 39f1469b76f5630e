// RTMP media shared by the players of a channel: a queue entry is cut into chunks once, by the
// first player that reaches it, and kept in a small per-channel table; every player writes the
// same bytes, with a 12-byte message header of its own for its timestamps. A player's media step
// gathers its messages and writes them in one call.
#include "streaming/rtmp.h"

#include "core/log.h"
#include "core/util.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <sys/uio.h>
#include <vector>

enum : uint32_t { SHARE_HEADER = 12, SHARE_VIDEO_SLOTS = 16, SHARE_AUDIO_SLOTS = 32, SHARE_SAMPLE = 32 };

struct RtmpShared {
    // Which entry: the queue, where its data lay, and a sample of the data, since a queue
    // registered again starts its sequence numbers anew.
    const StreamQueue *q;
    const uint8_t *data;
    uint32_t seq;
    uint32_t length;
    uint64_t sample;
    uint8_t tag;                       // AAC tag byte the audio body was built with
    uint32_t chunk;
    std::vector<uint8_t> bytes;        // the chunked messages, each behind a format-0 header
    std::vector<uint32_t> messages;    // offset of each message's header
};

struct RtmpGather {
    struct Piece {
        const uint8_t *shared;         // null: `own` from `at`
        size_t at;
        size_t len;
    };
    std::vector<Piece> pieces;
    std::vector<uint8_t> own;
    std::vector<std::shared_ptr<const RtmpShared>> held;   // until written
    std::vector<struct iovec> iov;
};

namespace {

struct ShareTable {
    std::mutex mutex;
    std::shared_ptr<const RtmpShared> slots[SHARE_AUDIO_SLOTS];
};

// Video of channels 0 and 1, then the audio queue they share.
ShareTable tables[3];

uint64_t sample_of(const uint8_t *d, size_t len)
{
    uint64_t h = 14695981039346656037ull ^ len;
    size_t head = std::min<size_t>(len, SHARE_SAMPLE);
    for (size_t i = 0; i < head; i++)
        h = (h ^ d[i]) * 1099511628211ull;
    for (size_t i = len - std::min<size_t>(len - head, SHARE_SAMPLE); i < len; i++)
        h = (h ^ d[i]) * 1099511628211ull;
    return h;
}

RtmpGather *gather_of(RtmpConnection *c)
{
    if (!c->gather)
        c->gather = new (std::nothrow) RtmpGather();
    return c->gather;
}

void gather_own(RtmpGather *g, const uint8_t *b, size_t n)
{
    g->pieces.push_back({nullptr, g->own.size(), n});
    g->own.insert(g->own.end(), b, b + n);
}

// A player's own copy of one message, for timestamps that need the extended field in every
// chunk (after 4.6 hours of one play).
void gather_rechunked(RtmpGather *g, const RtmpShared *e, size_t m, const RtmpChunkStream *cs)
{
    const uint8_t *p = e->bytes.data() + m;
    uint32_t length = (uint32_t)p[4] << 16 | (uint32_t)p[5] << 8 | p[6];
    std::vector<uint8_t> body;
    body.reserve(length);
    p += SHARE_HEADER;
    while (body.size() < length) {
        if (!body.empty())
            p++;   // the continuation's basic header
        size_t take = std::min<size_t>(e->chunk, length - body.size());
        body.insert(body.end(), p, p + take);
        p += take;
    }
    RtmpChunkStream own = *cs;
    own.length = length;
    own.type = e->bytes[m + 7];
    size_t at = g->own.size();
    g->own.resize(at + rtmp_chunked_size(&own, length, e->chunk));
    size_t n = rtmp_chunk_message(&own, e->chunk, body.data(), length, g->own.data() + at);
    g->own.resize(at + n);
    g->pieces.push_back({nullptr, at, n});
}

// Every message of the entry behind this player's header.
void gather_entry(RtmpGather *g, const std::shared_ptr<const RtmpShared> &e, const RtmpChunkStream *cs)
{
    if (e->messages.empty())
        return;
    g->held.push_back(e);
    for (size_t i = 0; i < e->messages.size(); i++) {
        size_t m = e->messages[i];
        size_t end = i + 1 < e->messages.size() ? e->messages[i + 1] : e->bytes.size();
        if (cs->timestamp > 0xFFFFFE) {
            gather_rechunked(g, e.get(), m, cs);
            continue;
        }
        uint8_t h[SHARE_HEADER];
        memcpy(h, e->bytes.data() + m, SHARE_HEADER);
        h[1] = (uint8_t)(cs->timestamp >> 16);
        h[2] = (uint8_t)(cs->timestamp >> 8);
        h[3] = (uint8_t)cs->timestamp;
        gather_own(g, h, sizeof h);
        g->pieces.push_back({e->bytes.data() + m + SHARE_HEADER, 0, end - m - SHARE_HEADER});
    }
}

// The table's entry for this frame, built by this player when nobody has yet. `build` sends
// the frame through rtmp_send_message with c->collect set. The lock is held only to look and to
// store: a builder preempted under it would hold up every player of the channel.
template <typename Build>
std::shared_ptr<const RtmpShared> shared_entry(RtmpConnection *c, ShareTable *t, uint32_t slots,
                                               const StreamQueue *q, const uint8_t *data, size_t len, uint32_t seq,
                                               uint8_t tag, Build build)
{
    uint64_t sample = sample_of(data, len);
    auto same = [&](const std::shared_ptr<const RtmpShared> &e) {
        return e && e->q == q && e->data == data && e->seq == seq && e->length == len && e->sample == sample &&
               e->tag == tag;
    };
    {
        std::lock_guard<std::mutex> l(t->mutex);
        const std::shared_ptr<const RtmpShared> &slot = t->slots[seq % slots];
        if (same(slot))
            return slot;
    }
    std::shared_ptr<RtmpShared> e = std::make_shared<RtmpShared>();
    e->q = q;
    e->data = data;
    e->seq = seq;
    e->length = (uint32_t)len;
    e->sample = sample;
    e->tag = tag;
    e->chunk = c->out_chunk_size ? c->out_chunk_size : RTMP_OUT_CHUNK_SIZE;
    c->collect = e.get();
    int rc = build();
    c->collect = nullptr;
    if (rc < 0)
        return nullptr;
    std::lock_guard<std::mutex> l(t->mutex);
    std::shared_ptr<const RtmpShared> &slot = t->slots[seq % slots];
    if (same(slot))
        return slot;   // built meanwhile by another player: one copy for all
    slot = e;
    return slot;
}

} // namespace

int rtmp_share_append(RtmpShared *e, const RtmpChunkStream *cs, size_t chunk, const uint8_t *body, size_t length)
{
    // Built at timestamp 0: a 12-byte header that each player rewrites with its own stamp.
    RtmpChunkStream zero = *cs;
    zero.timestamp = 0;
    size_t at = e->bytes.size();
    e->bytes.resize(at + rtmp_chunked_size(&zero, length, chunk));
    size_t n = rtmp_chunk_message(&zero, chunk, body, length, e->bytes.data() + at);
    e->bytes.resize(at + n);
    e->messages.push_back((uint32_t)at);
    return 0;
}

int rtmp_share_video(RtmpConnection *c, const StreamBuffer *sb)
{
    RtmpGather *g = gather_of(c);
    if (!g)
        return -1;
    const uint8_t *data = Buffer_getUserPtr(sb->buf);
    size_t len = (size_t)Buffer_getNumBytesUsed(sb->buf);
    RtmpChunkStream *cs = &c->out_video;
    auto e = shared_entry(c, &tables[c->channel ? 1 : 0], SHARE_VIDEO_SLOTS, c->video.streamq, data, len, sb->seq, 0,
                          [&] { return rtmp_send_video(c, cs, data, len); });
    if (!e)
        return -1;
    gather_entry(g, e, cs);
    return 0;
}

int rtmp_share_audio(RtmpConnection *c, const uint8_t *data, size_t length, uint32_t seq)
{
    RtmpGather *g = gather_of(c);
    if (!g)
        return -1;
    RtmpChunkStream *cs = &c->out_audio;
    if (c->aac_tag == 0) {
        // The session's first frame follows its own sequence header: both are its own copy.
        RtmpShared own{};
        own.chunk = c->out_chunk_size ? c->out_chunk_size : RTMP_OUT_CHUNK_SIZE;
        c->collect = &own;
        int rc = rtmp_send_audio(c, cs, data, length);
        c->collect = nullptr;
        if (rc < 0)
            return -1;
        gather_entry(g, std::make_shared<const RtmpShared>(std::move(own)), cs);
        return 0;
    }
    auto e = shared_entry(c, &tables[2], SHARE_AUDIO_SLOTS, c->audio_state.streamq, data, length, seq,
                          c->aac_tag, [&] { return rtmp_send_audio(c, cs, data, length); });
    if (!e)
        return -1;
    gather_entry(g, e, cs);
    return 0;
}

int rtmp_share_flush(RtmpConnection *c)
{
    RtmpGather *g = c->gather;
    if (!g || g->pieces.empty())
        return 0;
    g->iov.clear();
    for (const RtmpGather::Piece &p : g->pieces)
        if (p.len)
            g->iov.push_back({const_cast<uint8_t *>(p.shared ? p.shared : g->own.data() + p.at), p.len});
    int rc = 0;
    size_t first = 0;
    // The whole step's write has a deadline: a player that stops reading, or reads a trickle,
    // must not hold its session (and a thread) for ever.
    int64_t deadline = monotonic_ms() + (int64_t)rtmp_limits()->send_seconds * 1000;
    while (first < g->iov.size()) {
        struct msghdr msg = {};
        msg.msg_iov = g->iov.data() + first;
        msg.msg_iovlen = std::min<size_t>(g->iov.size() - first, 512);
        ssize_t n = sendmsg(c->sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A second at a time: a full socket is what a slow player looks like, and the
            // eviction rule must see its flow meanwhile.
            int w = rtmp_wait_writable(c->sock, std::min(deadline, monotonic_ms() + 1000));
            rtmp_note_flow(c);
            if (w > 0)
                continue;
            if (w == 0 && monotonic_ms() < deadline)
                continue;
            if (w == 0) {
                log_printf("rtmp: player not reading for %u s\n", rtmp_limits()->send_seconds);
                errno = ETIMEDOUT;
            }
            rc = -1;
            break;
        }
        if (n <= 0) {
            rc = -1;
            break;
        }
        // Past what went out; a partial write leaves the rest of its piece for the next call.
        c->sent_bytes += (uint64_t)n;
        size_t left = (size_t)n;
        while (left > 0 && left >= g->iov[first].iov_len)
            left -= g->iov[first++].iov_len;
        if (left > 0) {
            g->iov[first].iov_base = static_cast<uint8_t *>(g->iov[first].iov_base) + left;
            g->iov[first].iov_len -= left;
        }
    }
    g->pieces.clear();
    g->own.clear();
    g->held.clear();
    return rc;
}

void rtmp_share_free(RtmpConnection *c)
{
    delete c->gather;
    c->gather = nullptr;
}
