// Change groups: a successful settings write marks its group in the pending mask; a commit saves
// the block to flash first and then acts on each marked group once, in a fixed order. Also the
// configuration text file ("name = value" lines).
#pragma once
#include <cstddef>
#include <cstdint>

// The settings as the web server and the commit reach them: by name through the parameter
// table, with the users and the flash store. By default these are the parameter table's own
// functions; tests install a table of their own.
struct ParamAccess {
    int (*get)(const char *name, char *buffer, size_t size);                  // -1 unknown
    const char *(*set)(const char *name, const char *text, size_t length);    // null = success
    int (*read_allowed)(const char *name, int level);                         // 1, 0, -1 unknown
    int (*write_allowed)(const char *name, int level);
    const char *(*user_password)(const char *user);                           // null unknown
    int (*user_level)(const char *user);                                      // guest level for null
    int (*save_block)();                                                      // 0 or negative
    void (*check_users)();
    const char *(*row_name)(int index);                                       // null past the end
    int (*row_is_function)(int index);
    int (*row_format)(int index, char *buffer, size_t size);
};
void param_access_install(const ParamAccess *access);   // null: back to the parameter table
const ParamAccess *param_access();

int param_access_get(const char *name, char *buffer, size_t size);
const char *param_access_set(const char *name, const char *text, size_t length);
int param_access_read_allowed(const char *name, int level);
int param_access_write_allowed(const char *name, int level);
const char *param_access_user_password(const char *user);
int param_access_user_level(const char *user);
int param_access_int(const char *name, int fallback);

// Serialises commits (the save thread and the web thread may both commit); recursive, so the
// steps of a commit may write settings themselves.
void param_lock();
void param_unlock();

// Acts on the pending mask and clears it.
void param_apply_changes();
// Saves the current block (skipped by the store when unchanged), then applies the changes,
// also after a failed save.
void param_commit();

// Applies a configuration file through the settings writes; the caller commits.
// -1 for a null path or a file that cannot be opened, else 0.
int param_load_file(const char *path);
int param_save_file(const char *path);

// The device address the browser is sent to after a network change; empty when none. Consumed
// by the answer to the form post that caused it.
enum { NETWORK_REDIRECT_HOST_SIZE = 21 };
extern char network_redirect_host[NETWORK_REDIRECT_HOST_SIZE];
