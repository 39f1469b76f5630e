// The seam for the V4L2 video nodes, V4L2 subdevices and the media controller ("/dev/media0").
// The system speaks the Linux UAPI requests (linux/videodev2.h, linux/v4l2-subdev.h,
// linux/media.h) through these calls; on the board they are open/ioctl/poll/close, on the PC
// they reach the simulated decoder, CCDC and resizer.
#pragma once
#include <cstdint>

// Opens a device path such as "/dev/video0" (flags as for open(2)). Returns a descriptor or -1
// with errno set. The descriptor accepts fcntl(2) like any other.
int platform_v4l2_open(const char *path, int flags);
int platform_v4l2_ioctl(int fd, unsigned long request, void *arg);
// Waits up to timeout_ms for a buffer to dequeue: >0 ready, 0 time-out, -1 error.
int platform_v4l2_poll(int fd, int timeout_ms);
int platform_v4l2_close(int fd);
// Device numbers of a device file; -1 when the path does not exist.
int platform_v4l2_devnum(const char *path, uint32_t *major, uint32_t *minor);
