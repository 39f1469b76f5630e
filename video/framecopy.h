// Picture copies on the copy engine ("/dev/dm365mmap"), and the frame-copy object built on it.
// Every request in the process goes through copy_engine_mutex: one request on the device at a
// time, whichever thread makes it.
#pragma once
#include "platform/dmai.h"

#include <cstdint>
#include <pthread.h>

extern pthread_mutex_t copy_engine_mutex;

int dm365mmap_open();
void dm365mmap_close();

struct Framecopy_Attrs {
    bool accel;
};
extern const Framecopy_Attrs Framecopy_Attrs_DEFAULT;

struct Framecopy_Object {
    int fd;                 // own handle on the copy engine
    int bitsPerPixel;       // of the configured buffers
    ColorSpace_Type srcColorSpace;
    ColorSpace_Type dstColorSpace;
};
typedef Framecopy_Object *Framecopy_Handle;

Framecopy_Handle Framecopy_create(const Framecopy_Attrs *attrs);
// Both buffers must be graphics buffers of the same colour space. 0 or negative.
int Framecopy_config(Framecopy_Handle h, Buffer_Handle src, Buffer_Handle dst);
int Framecopy_execute(Framecopy_Handle h, Buffer_Handle src, Buffer_Handle dst);
int Framecopy_delete(Framecopy_Handle h);

// Copies the source window to the destination window, clipped to what fits the destination
// window and buffer. Sets the destination's bytes used. 0 or -1.
int Framecopy_accel_execute2(Framecopy_Handle h, Buffer_Handle src, Buffer_Handle dst);
// Replicates one source line (dim->width bytes) into dim->height destination lines,
// dim->lineLength apart. Addresses are virtual addresses in contiguous memory. 0 or -1.
int copy_engine_fill_lines(Framecopy_Handle h, const BufferGfx_Dimensions *dim, const void *src, void *dst);
// Moves len bytes between physical addresses on the system's handle. 0 or -1.
int copy_engine_memcpy(uint32_t src_phys, uint32_t dst_phys, uint32_t len);
// dim->height lines of dim->width bytes, both sides dim->lineLength apart; overlapping ranges
// are safe. 0 or -1.
int copy_engine_copy_lines(Framecopy_Handle h, const BufferGfx_Dimensions *dim, const void *src, void *dst);
