// Firmware update: the uploaded image is kept whole in memory, checked and written to the flash
// by a low-priority thread; the web pages follow it through one status message.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint32_t {
    FIRMWARE_HEADER_SIZE = 64,
    FIRMWARE_MAGIC = 0x27051956u,
    FIRMWARE_MAX_SIZE = 0x780000u,
    FIRMWARE_MAIN_OFFSET = 0x860000u,
    FIRMWARE_SAFE_OFFSET = 0x60000u,
};

enum { FIRMWARE_BUSY = -2 };

// First chunk of an upload (the whole 64-byte header): 0 when an upload was started, -1 refused
// (the status message says why), FIRMWARE_BUSY while another update is arriving or flashing
// (nothing changes, its message stays). A started upload stops every stream; an update that
// then fails (truncated, refused image, failed write) starts them again.
int firmware_upload_init(const void *chunk, size_t size);
// Appends a chunk; starts the flash thread when the image is complete. Returns 0.
int firmware_upload_data(const void *chunk, size_t size);
// End of the upload request whose init succeeded (or of one that never started): an incomplete
// image is dropped; an image being flashed is left to the flash thread.
void upload_finish();
// True from a started upload until its flashing ends.
bool firmware_upload_active();
// The status message, cleared by reading (null when none).
const char *firmware_take_message();
uint32_t firmware_image_time();
const char *firmware_date_text();
int firmware_start_flash();

// Magic right and `total` equal to data size + 64.
bool firmware_header_check(const void *header, uint64_t total);
// Checks and writes an image the caller owns, in the calling thread; true when written.
bool firmware_flash_image(const uint8_t *image, uint32_t size);
// Loads an image file into memory and starts the flash thread on it: 0 when it started.
int firmware_flash_file(const char *path);
// Checks and writes an image file in the calling thread, then restarts as an upload does.
int firmware_upload_file(const char *path);
