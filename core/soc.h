// SoC register window and the 90 kHz time base of every media time stamp.
#pragma once
#include <cstdint>

void devmem_map();
uint32_t reg_read(uint32_t address);           // 0xDEADBEEF outside the mapped ranges
void reg_write(uint32_t address, uint32_t value);
void reg_write_field(uint32_t address, int shift, int width, uint32_t value);

uint32_t hw_clock_90khz();
int hw_clock_check();                          // 1 when the counter did not move within 10 ms

// Differences of 32-bit 90 kHz stamps, taken modulo 2^32.
uint32_t ts_elapsed(uint32_t earlier, uint32_t later);
int32_t ts_diff(uint32_t a, uint32_t b);
uint32_t ts_add(uint32_t a, uint32_t b);

void psc_enable_modules(int on);
void vpss_reset();
