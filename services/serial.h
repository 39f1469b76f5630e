// The serial port service: the port bridged to TCP or UDP, handed to a login console, or fed
// with a video channel's key frames. Stream id 15 starts and stops it.
#pragma once
#include <cstddef>
#include <cstdint>

void *serialThrFxn(void *arg);
void serial_global_quit();

// 0 stop, 1 restart, -1 socket failure.
int serial_tcp_server(int tty, int eventfd);
int serial_read_event(int fd);
void serial_drain_fd(int fd);
void serial_send_response(int fd, const void *data, size_t length);
void serial_change_protocol(int id);
void serial_change_baudrate(int rate);

// The status text (Serial.Status while running).
int serial_status_get(char *buf, size_t size);
// The line speed of a baud rate setting (B9600 ...), 0 when not on the table.
unsigned serial_baud_speed(uint32_t rate);
// The termios for a parity setting applied to raw-mode flags.
struct termios;
void serial_make_raw(struct termios *t, int parity);
