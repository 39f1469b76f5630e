// The device's own IPv4 address as text, for the on-screen display's "^i" tag.
#pragma once
#include <cstddef>

// Dotted address of "eth0", asked of the kernel at most every 5 seconds; "0.0.0.0" when the
// interface has none. Writes at most size bytes; returns buf.
const char *own_ip_text(char *buf, size_t size);
