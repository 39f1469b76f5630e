// The media framework's buffers, tables and hand-off objects, as the system calls them.
// Codecs, frame copy and sound live in their own platform headers.
#pragma once
#include <cstddef>
#include <cstdint>

enum { Dmai_EOK = 0, Dmai_EFLUSH = 1, Dmai_EFAIL = -1, Dmai_ENOMEM = -2, Dmai_EIO = -3,
       Dmai_EINVAL = -4 };

void CERuntime_init();
void CERuntime_exit();
void Dmai_init();

// --- contiguous memory ---
struct CMEM_AllocParams {
    int type;       // unused here: every block is "contiguous"
    int flags;      // 0 not cached
    size_t alignment;
};
extern const CMEM_AllocParams CMEM_DEFAULTPARAMS;
void *CMEM_alloc(size_t size, const CMEM_AllocParams *params);
int CMEM_free(void *ptr, const CMEM_AllocParams *params);
uint32_t CMEM_getPhys(const void *ptr);
int CMEM_cacheWb(const void *ptr, size_t size);
uint32_t Memory_getBufferPhysicalAddress(const void *ptr, size_t size, int *valid);

// --- buffers ---
enum Buffer_Type { Buffer_Type_BASIC = 0, Buffer_Type_GRAPHICS = 1 };
enum ColorSpace_Type { ColorSpace_YUV420PSEMI = 0, ColorSpace_UYVY = 2, ColorSpace_GRAY = 9,
                       ColorSpace_NOTSET = -1 };

struct BufferGfx_Dimensions {
    int32_t x, y, width, height, lineLength;
};

struct Buffer_Attrs {
    Buffer_Type type;
    bool reference;       // owns no memory: the user pointer is set by the caller
    size_t alignment;
    uint16_t useMask;
    ColorSpace_Type colorSpace;
    BufferGfx_Dimensions dim;
};
extern const Buffer_Attrs Buffer_Attrs_DEFAULT;
extern const Buffer_Attrs BufferGfx_Attrs_DEFAULT;

struct BufTab_Object;
struct Buffer_Object;
typedef Buffer_Object *Buffer_Handle;
typedef BufTab_Object *BufTab_Handle;

Buffer_Handle Buffer_create(size_t size, const Buffer_Attrs *attrs);
void Buffer_delete(Buffer_Handle b);
uint8_t *Buffer_getUserPtr(Buffer_Handle b);
uint32_t Buffer_getPhysicalPtr(Buffer_Handle b);
size_t Buffer_getSize(Buffer_Handle b);
size_t Buffer_getNumBytesUsed(Buffer_Handle b);
void Buffer_setNumBytesUsed(Buffer_Handle b, size_t n);
int Buffer_getId(Buffer_Handle b);
Buffer_Type Buffer_getType(Buffer_Handle b);
uint16_t Buffer_getUseMask(Buffer_Handle b);
void Buffer_setUseMask(Buffer_Handle b, uint16_t mask);
void Buffer_freeUseMask(Buffer_Handle b, uint16_t mask);
void Buffer_resetUseMask(Buffer_Handle b);
BufTab_Handle Buffer_getBufTab(Buffer_Handle b);
// Reference buffers only: point at memory owned elsewhere.
int Buffer_setUserPtr(Buffer_Handle b, uint8_t *ptr);
int Buffer_setSize(Buffer_Handle b, size_t size);
int Buffer_copy(Buffer_Handle src, Buffer_Handle dst);   // copies the description, not the data

ColorSpace_Type BufferGfx_getColorSpace(Buffer_Handle b);
void BufferGfx_setColorSpace(Buffer_Handle b, ColorSpace_Type cs);
void BufferGfx_getDimensions(Buffer_Handle b, BufferGfx_Dimensions *dim);
int BufferGfx_setDimensions(Buffer_Handle b, const BufferGfx_Dimensions *dim);
void BufferGfx_resetDimensions(Buffer_Handle b);
int32_t BufferGfx_calcLineLength(int32_t width, ColorSpace_Type cs);

// --- buffer tables ---
BufTab_Handle BufTab_create(int count, size_t size, const Buffer_Attrs *attrs);
void BufTab_delete(BufTab_Handle t);
Buffer_Handle BufTab_getBuf(BufTab_Handle t, int index);
int BufTab_getNumBufs(BufTab_Handle t);
Buffer_Handle BufTab_getFreeBuf(BufTab_Handle t);  // low 16 use-mask bits clear, or null
void BufTab_freeBuf(Buffer_Handle b);
void BufTab_freeAll(BufTab_Handle t);
int BufTab_chunk(BufTab_Handle t, int count, size_t size);
int BufTab_expand(BufTab_Handle t, int count);
int BufTab_collapse(BufTab_Handle t);

// --- fifos of pointers ---
struct Fifo_Object;
typedef Fifo_Object *Fifo_Handle;
struct Fifo_Attrs { int maxElements; };
extern const Fifo_Attrs Fifo_Attrs_DEFAULT;
Fifo_Handle Fifo_create(const Fifo_Attrs *attrs);
int Fifo_delete(Fifo_Handle f);
int Fifo_put(Fifo_Handle f, void *ptr);
int Fifo_get(Fifo_Handle f, void **ptr);             // blocks: 0 got one, 1 flushed, negative error
int Fifo_get_nonblocking(Fifo_Handle f, void **ptr);  // 0 (ptr null when empty), 1 flushed
int Fifo_getNumEntries(Fifo_Handle f);
int Fifo_flush(Fifo_Handle f);
int Fifo_getFd(Fifo_Handle f);                        // readable while entries wait or flushed

// --- rendezvous ---
struct Rendezvous_Object;
typedef Rendezvous_Object *Rendezvous_Handle;
Rendezvous_Handle Rendezvous_create(int count);
void Rendezvous_meet(Rendezvous_Handle r);
void Rendezvous_force(Rendezvous_Handle r);
void Rendezvous_reset(Rendezvous_Handle r);
int Rendezvous_delete(Rendezvous_Handle r);

// --- pause ---
struct Pause_Object;
typedef Pause_Object *Pause_Handle;
Pause_Handle Pause_create();
void Pause_test(Pause_Handle p);   // blocks while on
int Pause_testTimeout(Pause_Handle p, int timeoutMs);   // 0 passed, 1 still on after the time-out
void Pause_on(Pause_Handle p);
void Pause_off(Pause_Handle p);
int Pause_delete(Pause_Handle p);

// --- cpu load ---
struct Cpu_Object;
typedef Cpu_Object *Cpu_Handle;
Cpu_Handle Cpu_create();
int Cpu_getLoad(Cpu_Handle c, int *percent);
int Cpu_delete(Cpu_Handle c);
