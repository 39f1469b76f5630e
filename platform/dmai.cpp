// Buffers, tables, fifos, rendezvous, pause and cpu load over plain POSIX.
#include "platform/dmai.h"
#include "platform/platform_internal.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

void CERuntime_init() {}
void CERuntime_exit() {}
void Dmai_init() {}

// --- contiguous memory: aligned heap blocks with made-up, unique physical addresses ---
namespace {
struct CmemBlock {
    size_t size;
    uint32_t phys;
};
std::mutex cmem_mutex;
std::map<uintptr_t, CmemBlock> cmem_blocks;   // by user address
uint32_t cmem_next_phys = 0x82000000u;
} // namespace

const CMEM_AllocParams CMEM_DEFAULTPARAMS = {0, 0, 32};

void *CMEM_alloc(size_t size, const CMEM_AllocParams *params)
{
    size_t align = params && params->alignment ? params->alignment : 32;
    if (align < sizeof(void *) || (align & (align - 1)))
        align = 32;
    void *p = nullptr;
    if (size == 0 || posix_memalign(&p, align, size) != 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(cmem_mutex);
    uint32_t phys = cmem_next_phys;
    cmem_next_phys += (uint32_t)((size + 0xFFF) & ~(size_t)0xFFF);
    if (cmem_next_phys < 0x82000000u)   // wrapped: start over, addresses are only labels here
        cmem_next_phys = 0x82000000u;
    cmem_blocks[(uintptr_t)p] = {size, phys};
    return p;
}

int CMEM_free(void *ptr, const CMEM_AllocParams *)
{
    if (!ptr)
        return 0;
    {
        std::lock_guard<std::mutex> lock(cmem_mutex);
        if (!cmem_blocks.erase((uintptr_t)ptr))
            return -1;
    }
    free(ptr);
    return 0;
}

uint32_t Memory_getBufferPhysicalAddress(const void *ptr, size_t size, int *valid)
{
    std::lock_guard<std::mutex> lock(cmem_mutex);
    uintptr_t a = (uintptr_t)ptr;
    auto it = cmem_blocks.upper_bound(a);
    if (it != cmem_blocks.begin()) {
        --it;
        if (a >= it->first && a + size <= it->first + it->second.size) {
            if (valid)
                *valid = 1;
            return it->second.phys + (uint32_t)(a - it->first);
        }
    }
    if (valid)
        *valid = 0;
    return 0;
}

void *platform_cmem_virt(uint32_t phys, size_t len)
{
    std::lock_guard<std::mutex> lock(cmem_mutex);
    for (const auto &[user, block] : cmem_blocks)
        if (phys >= block.phys && (uint64_t)(phys - block.phys) + len <= block.size)
            return reinterpret_cast<uint8_t *>(user) + (phys - block.phys);
    return nullptr;
}

uint32_t CMEM_getPhys(const void *ptr)
{
    return Memory_getBufferPhysicalAddress(ptr, 1, nullptr);
}

int CMEM_cacheWb(const void *, size_t)
{
    return 0;
}

// --- buffers ---
struct Buffer_Object {
    uint8_t *user;
    size_t size;
    size_t used;
    int id;
    Buffer_Type type;
    bool reference;
    bool owned;            // memory from CMEM_alloc that this buffer frees
    uint16_t useMask;      // the mask a freed buffer returns to
    uint16_t curMask;
    ColorSpace_Type colorSpace;
    BufferGfx_Dimensions dim;
    BufferGfx_Dimensions origDim;
    BufTab_Object *tab;
};

const Buffer_Attrs Buffer_Attrs_DEFAULT = {Buffer_Type_BASIC, false, 32, 1, ColorSpace_NOTSET, {0, 0, 0, 0, 0}};
const Buffer_Attrs BufferGfx_Attrs_DEFAULT = {Buffer_Type_GRAPHICS, false, 32, 1, ColorSpace_UYVY, {0, 0, 0, 0, 0}};

namespace {
std::mutex buffer_id_mutex;
int buffer_next_id;
}

Buffer_Handle Buffer_create(size_t size, const Buffer_Attrs *attrs)
{
    const Buffer_Attrs *a = attrs ? attrs : &Buffer_Attrs_DEFAULT;
    Buffer_Object *b = new Buffer_Object();
    b->size = size;
    b->type = a->type;
    b->reference = a->reference;
    b->useMask = a->useMask;
    b->curMask = 0;
    b->colorSpace = a->colorSpace;
    b->dim = b->origDim = a->dim;
    {
        std::lock_guard<std::mutex> lock(buffer_id_mutex);
        b->id = buffer_next_id++;
    }
    if (!a->reference && size) {
        CMEM_AllocParams p = CMEM_DEFAULTPARAMS;
        p.alignment = a->alignment ? a->alignment : 32;
        b->user = static_cast<uint8_t *>(CMEM_alloc(size, &p));
        if (!b->user) {
            delete b;
            return nullptr;
        }
        b->owned = true;
    }
    return b;
}

void Buffer_delete(Buffer_Handle b)
{
    if (!b)
        return;
    if (b->owned)
        CMEM_free(b->user, nullptr);
    delete b;
}

uint8_t *Buffer_getUserPtr(Buffer_Handle b) { return b->user; }
uint32_t Buffer_getPhysicalPtr(Buffer_Handle b) { return b->user ? CMEM_getPhys(b->user) : 0; }
size_t Buffer_getSize(Buffer_Handle b) { return b->size; }
size_t Buffer_getNumBytesUsed(Buffer_Handle b) { return b->used; }
void Buffer_setNumBytesUsed(Buffer_Handle b, size_t n) { b->used = n > b->size ? b->size : n; }
int Buffer_getId(Buffer_Handle b) { return b->id; }
Buffer_Type Buffer_getType(Buffer_Handle b) { return b->type; }
uint16_t Buffer_getUseMask(Buffer_Handle b) { return b->curMask; }
void Buffer_setUseMask(Buffer_Handle b, uint16_t mask) { b->curMask = mask; }
void Buffer_freeUseMask(Buffer_Handle b, uint16_t mask) { b->curMask &= (uint16_t)~mask; }
void Buffer_resetUseMask(Buffer_Handle b) { b->curMask = b->useMask; }
BufTab_Handle Buffer_getBufTab(Buffer_Handle b) { return b->tab; }

int Buffer_setUserPtr(Buffer_Handle b, uint8_t *ptr)
{
    if (!b->reference)
        return Dmai_EINVAL;
    b->user = ptr;
    return Dmai_EOK;
}

int Buffer_setSize(Buffer_Handle b, size_t size)
{
    if (!b->reference && size > b->size)
        return Dmai_EINVAL;
    b->size = size;
    if (b->used > size)
        b->used = size;
    return Dmai_EOK;
}

int Buffer_copy(Buffer_Handle src, Buffer_Handle dst)
{
    if (!dst->reference)
        return Dmai_EINVAL;
    dst->user = src->user;
    dst->size = src->size;
    dst->used = src->used;
    dst->colorSpace = src->colorSpace;
    dst->dim = src->dim;
    return Dmai_EOK;
}

ColorSpace_Type BufferGfx_getColorSpace(Buffer_Handle b) { return b->colorSpace; }
void BufferGfx_setColorSpace(Buffer_Handle b, ColorSpace_Type cs) { b->colorSpace = cs; }
void BufferGfx_getDimensions(Buffer_Handle b, BufferGfx_Dimensions *dim) { *dim = b->dim; }
void BufferGfx_resetDimensions(Buffer_Handle b) { b->dim = b->origDim; }

int BufferGfx_setDimensions(Buffer_Handle b, const BufferGfx_Dimensions *dim)
{
    // A picture that would not fit in the buffer is refused, as the driver would.
    int64_t need = (int64_t)dim->lineLength * (dim->y + dim->height);
    if (b->colorSpace == ColorSpace_YUV420PSEMI)
        need = need * 3 / 2;
    if (dim->width < 0 || dim->height < 0 || dim->lineLength < 0 || (size_t)need > b->size)
        return Dmai_EINVAL;
    b->dim = *dim;
    return Dmai_EOK;
}

int32_t BufferGfx_calcLineLength(int32_t width, ColorSpace_Type cs)
{
    switch (cs) {
    case ColorSpace_UYVY: return width * 2;
    case ColorSpace_YUV420PSEMI:
    case ColorSpace_GRAY: return width;
    default: return -1;
    }
}

// --- buffer tables ---
struct BufTab_Object {
    std::vector<Buffer_Object *> bufs;
    std::vector<Buffer_Object *> extra;   // views made by chunk
    size_t origSize;
    std::mutex mutex;
};

BufTab_Handle BufTab_create(int count, size_t size, const Buffer_Attrs *attrs)
{
    if (count <= 0)
        return nullptr;
    BufTab_Object *t = new BufTab_Object();
    t->origSize = size;
    for (int i = 0; i < count; i++) {
        Buffer_Object *b = Buffer_create(size, attrs);
        if (!b) {
            BufTab_delete(t);
            return nullptr;
        }
        b->tab = t;
        b->id = i;
        t->bufs.push_back(b);
    }
    return t;
}

void BufTab_delete(BufTab_Handle t)
{
    if (!t)
        return;
    BufTab_collapse(t);
    for (Buffer_Object *b : t->bufs)
        Buffer_delete(b);
    delete t;
}

Buffer_Handle BufTab_getBuf(BufTab_Handle t, int index)
{
    if (!t || index < 0 || index >= (int)t->bufs.size())
        return nullptr;
    return t->bufs[index];
}

int BufTab_getNumBufs(BufTab_Handle t) { return t ? (int)t->bufs.size() : 0; }

Buffer_Handle BufTab_getFreeBuf(BufTab_Handle t)
{
    std::lock_guard<std::mutex> lock(t->mutex);
    for (Buffer_Object *b : t->bufs) {
        if ((b->curMask & 0xFFFF) == 0) {
            b->curMask = b->useMask;
            return b;
        }
    }
    return nullptr;
}

void BufTab_freeBuf(Buffer_Handle b)
{
    if (!b || !b->tab)
        return;
    std::lock_guard<std::mutex> lock(b->tab->mutex);
    b->curMask = 0;
}

void BufTab_freeAll(BufTab_Handle t)
{
    std::lock_guard<std::mutex> lock(t->mutex);
    for (Buffer_Object *b : t->bufs)
        b->curMask = 0;
}

// Splits the table's memory into `count` buffers of `size` bytes each, as views.
int BufTab_chunk(BufTab_Handle t, int count, size_t size)
{
    std::lock_guard<std::mutex> lock(t->mutex);
    size_t total = 0;
    for (Buffer_Object *b : t->bufs)
        total += b->size;
    if (count <= 0 || size == 0 || (size_t)count * size > total || !t->extra.empty())
        return Dmai_EINVAL;
    std::vector<Buffer_Object *> views;
    size_t bi = 0, off = 0;
    for (int i = 0; i < count; i++) {
        while (bi < t->bufs.size() && off + size > t->bufs[bi]->size) {
            bi++;
            off = 0;
        }
        if (bi == t->bufs.size()) {
            for (Buffer_Object *v : views)
                delete v;
            return Dmai_EINVAL;
        }
        Buffer_Object *v = new Buffer_Object(*t->bufs[bi]);
        v->user = t->bufs[bi]->user + off;
        v->size = size;
        v->used = 0;
        v->owned = false;
        v->reference = true;
        v->curMask = 0;
        v->id = i;
        views.push_back(v);
        off += size;
    }
    t->extra.swap(t->bufs);
    t->bufs.swap(views);
    return Dmai_EOK;
}

int BufTab_expand(BufTab_Handle t, int count)
{
    if (count <= 0 || t->bufs.empty())
        return Dmai_EINVAL;
    std::lock_guard<std::mutex> lock(t->mutex);
    Buffer_Object *model = t->extra.empty() ? t->bufs[0] : t->extra[0];
    Buffer_Attrs a = Buffer_Attrs_DEFAULT;
    a.type = model->type;
    a.useMask = model->useMask;
    a.colorSpace = model->colorSpace;
    a.dim = model->origDim;
    for (int i = 0; i < count; i++) {
        Buffer_Object *b = Buffer_create(t->origSize, &a);
        if (!b)
            return Dmai_ENOMEM;
        b->tab = t;
        b->id = (int)t->bufs.size();
        (t->extra.empty() ? t->bufs : t->extra).push_back(b);
    }
    return Dmai_EOK;
}

int BufTab_collapse(BufTab_Handle t)
{
    std::lock_guard<std::mutex> lock(t->mutex);
    if (t->extra.empty())
        return Dmai_EOK;
    for (Buffer_Object *v : t->bufs)
        delete v;
    t->bufs.swap(t->extra);
    t->extra.clear();
    return Dmai_EOK;
}

// --- fifos ---
struct Fifo_Object {
    std::mutex mutex;
    std::condition_variable cond;
    std::deque<void *> items;
    bool flushed = false;
    int efd = -1;     // counts waiting items (and one for a flush) for poll()
};

const Fifo_Attrs Fifo_Attrs_DEFAULT = {0};

Fifo_Handle Fifo_create(const Fifo_Attrs *)
{
    Fifo_Object *f = new Fifo_Object();
    f->efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (f->efd < 0) {
        delete f;
        return nullptr;
    }
    return f;
}

int Fifo_delete(Fifo_Handle f)
{
    if (!f)
        return 0;
    close(f->efd);
    delete f;
    return 0;
}

static void fifo_signal(Fifo_Object *f)
{
    uint64_t one = 1;
    if (write(f->efd, &one, sizeof one) < 0) {
        // the counter cannot overflow with the few items a fifo holds
    }
}

static void fifo_consume(Fifo_Object *f)
{
    uint64_t v;
    if (read(f->efd, &v, sizeof v) < 0) {
        // nothing counted: a poller raced us, harmless
    }
}

int Fifo_put(Fifo_Handle f, void *ptr)
{
    std::lock_guard<std::mutex> lock(f->mutex);
    f->items.push_back(ptr);
    fifo_signal(f);
    f->cond.notify_one();
    return Dmai_EOK;
}

int Fifo_get(Fifo_Handle f, void **ptr)
{
    std::unique_lock<std::mutex> lock(f->mutex);
    f->cond.wait(lock, [f] { return f->flushed || !f->items.empty(); });
    if (f->flushed)
        return Dmai_EFLUSH;
    *ptr = f->items.front();
    f->items.pop_front();
    fifo_consume(f);
    return Dmai_EOK;
}

int Fifo_get_nonblocking(Fifo_Handle f, void **ptr)
{
    std::lock_guard<std::mutex> lock(f->mutex);
    if (f->flushed)
        return Dmai_EFLUSH;
    *ptr = nullptr;
    if (!f->items.empty()) {
        *ptr = f->items.front();
        f->items.pop_front();
        fifo_consume(f);
    }
    return Dmai_EOK;
}

int Fifo_getNumEntries(Fifo_Handle f)
{
    std::lock_guard<std::mutex> lock(f->mutex);
    return (int)f->items.size();
}

int Fifo_flush(Fifo_Handle f)
{
    std::lock_guard<std::mutex> lock(f->mutex);
    if (!f->flushed) {
        f->flushed = true;
        fifo_signal(f);
    }
    f->cond.notify_all();
    return Dmai_EOK;
}

int Fifo_getFd(Fifo_Handle f) { return f->efd; }

// --- rendezvous ---
struct Rendezvous_Object {
    std::mutex mutex;
    std::condition_variable cond;
    int orig;
    int count;
    unsigned generation = 0;
    bool forced = false;
};

Rendezvous_Handle Rendezvous_create(int count)
{
    if (count <= 0)
        return nullptr;
    Rendezvous_Object *r = new Rendezvous_Object();
    r->orig = r->count = count;
    return r;
}

void Rendezvous_meet(Rendezvous_Handle r)
{
    std::unique_lock<std::mutex> lock(r->mutex);
    if (r->forced)
        return;
    if (--r->count <= 0) {
        r->count = r->orig;
        r->generation++;
        r->cond.notify_all();
        return;
    }
    unsigned gen = r->generation;
    r->cond.wait(lock, [r, gen] { return r->forced || r->generation != gen; });
}

void Rendezvous_force(Rendezvous_Handle r)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    r->forced = true;
    r->cond.notify_all();
}

void Rendezvous_reset(Rendezvous_Handle r)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    r->forced = false;
    r->count = r->orig;
}

int Rendezvous_delete(Rendezvous_Handle r)
{
    delete r;
    return 0;
}

// --- pause ---
struct Pause_Object {
    std::mutex mutex;
    std::condition_variable cond;
    bool on = false;
};

Pause_Handle Pause_create() { return new Pause_Object(); }

void Pause_test(Pause_Handle p)
{
    std::unique_lock<std::mutex> lock(p->mutex);
    p->cond.wait(lock, [p] { return !p->on; });
}

int Pause_testTimeout(Pause_Handle p, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(p->mutex);
    return p->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [p] { return !p->on; }) ? 0 : 1;
}

void Pause_on(Pause_Handle p)
{
    std::lock_guard<std::mutex> lock(p->mutex);
    p->on = true;
}

void Pause_off(Pause_Handle p)
{
    std::lock_guard<std::mutex> lock(p->mutex);
    p->on = false;
    p->cond.notify_all();
}

int Pause_delete(Pause_Handle p)
{
    delete p;
    return 0;
}

// --- cpu load from /proc/stat, between two calls ---
struct Cpu_Object {
    std::mutex mutex;
    unsigned long long lastTotal = 0, lastIdle = 0;
};

static int cpu_read(unsigned long long *total, unsigned long long *idle)
{
    FILE *f = fopen("/proc/stat", "r");
    if (!f)
        return -1;
    unsigned long long v[8] = {0};
    int n = fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                   &v[4], &v[5], &v[6], &v[7]);
    fclose(f);
    if (n < 4)
        return -1;
    *total = 0;
    for (unsigned long long x : v)
        *total += x;
    *idle = v[3] + v[4];
    return 0;
}

Cpu_Handle Cpu_create()
{
    Cpu_Object *c = new Cpu_Object();
    cpu_read(&c->lastTotal, &c->lastIdle);
    return c;
}

int Cpu_getLoad(Cpu_Handle c, int *percent)
{
    std::lock_guard<std::mutex> lock(c->mutex);
    unsigned long long total, idle;
    if (cpu_read(&total, &idle) != 0)
        return Dmai_EIO;
    unsigned long long dt = total - c->lastTotal, di = idle - c->lastIdle;
    *percent = dt ? (int)(100 - di * 100 / dt) : 0;
    c->lastTotal = total;
    c->lastIdle = idle;
    return Dmai_EOK;
}

int Cpu_delete(Cpu_Handle c)
{
    delete c;
    return 0;
}
