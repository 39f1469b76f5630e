// The capture graph: decoder -> CCDC -> capture node, and the memory-to-memory resizer with its
// input node and two output nodes. Records naming the graph nodes, link set-up, pad and node
// formats, buffers and the resizer's channel configuration.
#pragma once
#include <cstdint>
#include "platform/resizer.h"

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

struct MediaNode {
    const char *name;           // entity name as the media device reports it
    char devpath[20];
    int fd;                     // 0 or less when not open
    MediaNode *next;            // upstream node
    media_entity_desc entity;
    uint16_t sinkPad;           // of the link from next to this node
    uint16_t sourcePad;
    v4l2_format fmt;            // video nodes: buffer type 1 capture or 2 output
    uint32_t bufSize;
    uint32_t bufCount;
    uint8_t flags;
};

// The seven nodes of this board.
extern MediaNode media_decoder, media_ccdc, media_capture, media_rsz_input, media_resizer, media_rsz_a,
    media_rsz_b;

struct ResizeInputSpec {
    uint32_t width, height, pixelformat, field, bytesperline;
};

struct ResizeOutputSpec {
    uint32_t width, height, pixelformat, field, lineLength;
};

struct ResizeCrop {
    uint32_t x, y, width, height;
};

struct CmemBuffer {
    uint8_t *virt;
    uint32_t phys;
};

// Media-bus codes the system uses.
enum : uint32_t { MBUS_UYVY8_2X8 = 0x2006, MBUS_YUYV8_2X8 = 0x2008, MBUS_UYVY8_1X16 = 0x200f,
                  MBUS_YUYV8_1X16 = 0x2011, MBUS_NV12_1X20 = 0x2013 };

const char *mbus_code_name(uint32_t code);
int media_setup_chain(MediaNode *first);
int media_setup_links(int media_fd, MediaNode *node);
int media_enable_link(int media_fd, const media_link_desc *link);
int video_input_setup(int fd, int input, v4l2_std_id *standard);
int subdev_set_pad_formats(MediaNode *node, const v4l2_mbus_framefmt *sink, const v4l2_mbus_framefmt *source);
int format_setup(MediaNode *node, uint32_t width, uint32_t height, uint32_t pixelformat, uint32_t bytesperline,
                 uint32_t field);
int buffer_setup(MediaNode *node, const CmemBuffer *bufs, uint32_t count);
void rsz_set_output_spec(int output, rsz_output_spec *part, const ResizeOutputSpec *spec, int flip,
                         const ResizeCrop *crop);
int rsz_setup(int fd, const ResizeInputSpec *in, const ResizeOutputSpec *a, const ResizeOutputSpec *b, int flipA,
              int flipB, int interpolate);
int resize_chain_setup(MediaNode *input, MediaNode *resizer, MediaNode *outA, MediaNode *outB,
                       const v4l2_mbus_framefmt *inFmt, const v4l2_mbus_framefmt *aFmt, const v4l2_mbus_framefmt *bFmt,
                       const ResizeOutputSpec *a, const ResizeOutputSpec *b, int flipA, int flipB, int interpolate);
int cmem_alloc_buffers(uint32_t size, CmemBuffer *bufs, int count);
// Releases the node's buffers and closes it; the handle becomes -1.
void media_node_close(MediaNode *node);
