// The simulated video output as the V4L2 seam of the platform reaches it.
#pragma once

bool video_out_path(const char *path);
bool video_out_fd(int fd);
int video_out_open(const char *path, int flags);
int video_out_ioctl(int fd, unsigned long request, void *arg);
int video_out_poll(int fd, int timeout_ms);
int video_out_close(int fd);
void video_out_board_init(const char *board_dir);
