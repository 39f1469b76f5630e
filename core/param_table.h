// Every setting and device value by text name: the one table the web pages, the configuration
// file, the serial service and RTMP read and write through.
#pragma once
#include <cstddef>
#include <cstdint>

enum PermissionLevel : uint32_t {
    PERM_NONE = 0,
    PERM_STREAM_VIEW = 1,
    PERM_CAMERA_CONTROL = 2,
    PERM_STREAM_CONTROL = 3,
    PERM_STREAM_CONFIG = 4,
    PERM_ADMIN = 5,
    PERM_DEMO = 6,   // reads what its number allows, never writes
};

enum ParamType : uint32_t {
    PARAM_STRING = 0,
    PARAM_INTEGER = 1,
    PARAM_CONVERTED = 2,   // stored field with a getter and setter of its own
    PARAM_FUNCTION = 3,    // no stored field; target is the row's argument
    PARAM_FLOAT = 4,
};

// Getter: prints into buf (size bytes), returns the characters written.
typedef int (*param_get_fn)(char *buf, size_t size, uintptr_t target);
// Setter: null on success, else a constant message.
typedef const char *(*param_set_fn)(const char *text, size_t length, uintptr_t target);

struct ParamDesc {
    const char *name;
    uint32_t type;
    uint32_t group;
    int32_t min, max, step;
    uint32_t size;
    uint32_t read_level, write_level;
    uint32_t offset_or_arg;
    param_get_fn get;
    param_set_fn set;           // string rows: a check of the text before it is stored, or null
};

extern const ParamDesc param_table[];
int param_count();

int param_get(const char *name, char *buf, size_t size);
int param_getf(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
const char *param_set(const char *name, const char *text, size_t length);
const char *param_set_text(const char *name, const char *text);
int param_limits(const char *name, int32_t *min, int32_t *max, int32_t *step);
int param_read_allowed(const char *name, uint32_t level);
int param_write_allowed(const char *name, uint32_t level);

// By row index, for listing the whole table.
const char *param_name(int index);
int param_is_function(int index);
int param_format(int index, char *buf, size_t size);

const char *permission_name(uint32_t level);
uint32_t get_permission(const char *name);
const char *user_password(const char *user);
uint32_t user_level(const char *user);
bool user_has_level(const char *user, const char *level_name);

// Total bit rate of a stream for transport planning.
uint32_t stream_bitrate(int stream_id, int mode);
int getStreamResolution(int stream, int *width, int *height);
// The resolution choices for the current capture standard, null-terminated.
const char *const *resolution_mode_table();
// Base of Video[n].FrameRate and of its option list: 30 for an NTSC input (chosen, or detected
// with fewer than 576 lines), else 25.
int framerate_base();

// Repairs every stored row of the current block that is out of its range (after each load).
void param_table_validate();
// The capture code reports its picture size here; the encoder code gives the second channel's
// scaling rule. Until both exist, sizes that follow the capture read "not available".
void param_capture_size_report(int width, int height);
void param_set_scale_rule(void (*rule)(int *width, int *height));
// Written by the "VideoCounter" setter, consumed by the capture code's frame counter.
extern volatile uint32_t video_counter_value;
extern volatile int video_counter_request;
