// Raw access to the flash device "/dev/mtd0".
#pragma once
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

enum : uint32_t {
    MTD_ERASE_SIZE = 0x20000,
    MTD_FACTORY_OFFSET = 0x1fff0,
    MTD_FACTORY_WORD_OFFSET = 0x1fff8,
    MTD_SERIAL_OFFSET = 0x1fffc,
    MTD_BOOTLOADER_OFFSET = 256,
};

int mtd_open();
ssize_t mtd_read(void *buffer, uint32_t offset, size_t length);
ssize_t mtd_write(const void *data, uint32_t offset, size_t length);
int mtd_erase_block(uint32_t offset, uint32_t length);
void mtd_close();
bool mtd_is_open();

// 0x10000 stands for 1.0.0; an old loader left an instruction word where the version goes.
uint32_t bootloader_version();
// The 16-byte factory record: model, unused, factory word, serial number.
int mtd_read_factory(uint32_t words[4]);
int factory_serial_write(uint32_t serial);
int factory_word_write(uint32_t value);
uint32_t factory_word_read();
