#include "core/evict.h"

#include <cstring>
#include <linux/sockios.h>
#include <sys/ioctl.h>

void evict_flow_reset(EvictFlow *f)
{
    memset(f, 0, sizeof *f);
}

void evict_flow_note(EvictFlow *f, uint64_t offered, uint64_t taken, int64_t now_us)
{
    if (f->start_us == 0 || offered < f->offered_at_start || taken < f->taken_at_start) {
        f->start_us = now_us ? now_us : 1;
        f->offered_at_start = offered;
        f->taken_at_start = taken;
        return;
    }
    if (now_us - f->start_us < (int64_t)EVICT_FLOW_WINDOW_MS * 1000)
        return;
    uint64_t sent = offered - f->offered_at_start, took = taken - f->taken_at_start;
    // Nothing sent (the source stopped) is not a slow player.
    bool slow = sent > 0 && took * 10 < sent;
    if (!slow)
        f->slow_since_us = 0;
    else if (!f->slow_since_us)
        f->slow_since_us = f->start_us;
    f->start_us = now_us;
    f->offered_at_start = offered;
    f->taken_at_start = taken;
}

uint64_t evict_socket_taken(int fd, uint64_t written)
{
    int queued = 0;
    if (fd < 0 || ioctl(fd, SIOCOUTQ, &queued) != 0 || queued <= 0)
        return written;
    return (uint64_t)queued < written ? written - (uint64_t)queued : 0;
}

void evict_init(EvictState *s, int idle_ms)
{
    memset(s, 0, sizeof *s);
    s->idle_ms = idle_ms;
}

bool evict_keep_late(unsigned open, unsigned places)
{
    return places && open * 4 >= places * 3;
}

namespace {

bool slow_head(const EvictEntry *e, int64_t now_us)
{
    return e->arriving_since_us && now_us - e->arriving_since_us >= (int64_t)EVICT_SLOW_HEAD_MS * 1000;
}

} // namespace

int64_t evict_idle_age(const EvictEntry *e, int64_t now_us)
{
    if (e->busy || e->gone)
        return -1;
    if (e->playing) {
        if (!e->flow || !e->flow->slow_since_us)
            return -1;
        return now_us - e->flow->slow_since_us;
    }
    if (e->arriving_since_us)
        return slow_head(e, now_us) ? now_us - e->arriving_since_us : -1;
    return now_us - e->active_us;
}

namespace {

unsigned held_by(EvictEntry *const *entries, size_t n, uint32_t addr)
{
    unsigned held = 0;
    for (size_t i = 0; i < n; i++)
        held += !entries[i]->gone && entries[i]->addr == addr;
    return held;
}

// A zeroed state holds the default.
int64_t idle_limit(const EvictState *s)
{
    return (int64_t)(s->idle_ms > 0 ? s->idle_ms : EVICT_IDLE_MS) * 1000;
}

bool put_out_recently(const EvictState *s, uint32_t addr, int64_t now_us)
{
    for (unsigned i = 0; i < EVICT_RECENT; i++)
        if (s->recent_us[i] && s->recent_addr[i] == addr && now_us - s->recent_us[i] < idle_limit(s))
            return true;
    return false;
}

// Bytes the server has not read yet are a request arriving.
bool has_unread(const EvictEntry *e)
{
    int unread = 0;
    return e->fd >= 0 && ioctl(e->fd, FIONREAD, &unread) == 0 && unread > 0;
}

} // namespace

int evict_choose(EvictState *s, EvictEntry *const *entries, size_t n, uint32_t addr, int64_t now_us)
{
    unsigned from_newcomer = held_by(entries, n, addr);
    bool by_age = !(from_newcomer == 0 && put_out_recently(s, addr, now_us));
    int victim = -1;
    int64_t victim_age = -1;
    bool victim_by_age = false;
    for (size_t i = 0; i < n; i++) {
        const EvictEntry *e = entries[i];
        int64_t age = evict_idle_age(e, now_us);
        if (age < 0 || age <= victim_age)
            continue;
        // By age only from an address holding more than the newcomer's: the redials of a crowd
        // holding a place at each of its addresses would otherwise take every place as it ages.
        // A slow head is old at once: the request deadline would close it before the idle limit.
        unsigned held = held_by(entries, n, e->addr);
        bool old = by_age && (age >= idle_limit(s) || slow_head(e, now_us)) && held > from_newcomer;
        if (!old && (e->addr == addr || held < from_newcomer + 2))
            continue;
        if (has_unread(e))
            continue;
        victim = (int)i;
        victim_age = age;
        victim_by_age = old;
    }
    if (victim >= 0 && victim_by_age && held_by(entries, n, entries[victim]->addr) == 1) {
        s->recent_addr[s->recent_next] = entries[victim]->addr;
        s->recent_us[s->recent_next] = now_us ? now_us : 1;
        s->recent_next = (s->recent_next + 1) % EVICT_RECENT;
    }
    return victim;
}

int evict_choose_own(EvictEntry *const *entries, size_t n, uint32_t addr, int64_t now_us)
{
    int victim = -1;
    int64_t victim_age = -1;
    for (size_t i = 0; i < n; i++) {
        int64_t age = evict_idle_age(entries[i], now_us);
        if (entries[i]->addr != addr || age <= victim_age || has_unread(entries[i]))
            continue;
        victim = (int)i;
        victim_age = age;
    }
    return victim;
}
