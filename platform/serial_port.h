// The board's serial port ("/dev/ttyS0"). On the PC the node lives in the board directory: a
// test links there the slave of a pseudo-terminal it holds; with none there one is made here.
#pragma once
#include <termios.h>

// open(2) of the port; -1 with errno set.
int platform_serial_open(const char *path, int flags);
// tcsetattr(3); the settings asked for are also kept, since a pseudo-terminal drops some
// (parity) that the board's UART keeps.
int platform_serial_tcsetattr(int fd, int action, const struct termios *t);
// Makes the port the system console (TIOCCONS). A logged no-op on the PC.
int platform_serial_set_console(int fd);
// Test hook: the last settings asked for through platform_serial_tcsetattr; 0 when none yet.
int platform_serial_last_settings(struct termios *t);
