#include "core/param_commit.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/quit.h"
#include "core/threads.h"
#include "services/network.h"
#include "streams/stream.h"
#include "streams/stream_mode.h"
#include "video/osd.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <pthread.h>

char network_redirect_host[NETWORK_REDIRECT_HOST_SIZE];

namespace {


int table_read_allowed(const char *name, int level)
{
    return param_read_allowed(name, (uint32_t)level);
}

int table_write_allowed(const char *name, int level)
{
    return param_write_allowed(name, (uint32_t)level);
}

const char *table_user_password(const char *user)
{
    return user_password(user);
}

int table_user_level(const char *user)
{
    return (int)user_level(user);
}

int table_save_block()
{
    return save_param_block(&param_block);
}

void table_check_users()
{
    check_user_permissions();
}

const char *table_row_name(int index)
{
    return param_name(index);
}

int table_row_is_function(int index)
{
    return param_is_function(index);
}

int table_row_format(int index, char *buffer, size_t size)
{
    return param_format(index, buffer, size);
}

const ParamAccess table_access = {
    param_get,          param_set,        table_read_allowed,    table_write_allowed,
    table_user_password, table_user_level, table_save_block,      table_check_users,
    table_row_name,     table_row_is_function, table_row_format,
};

const ParamAccess *access_ops = &table_access;
pthread_mutex_t param_mutex;
pthread_once_t param_mutex_once = PTHREAD_ONCE_INIT;

void param_mutex_init()
{
    pthread_mutexattr_t a;
    pthread_mutexattr_init(&a);
    pthread_mutexattr_settype(&a, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&param_mutex, &a);
    pthread_mutexattr_destroy(&a);
}

void osd_step(int channel)
{
    OsdSettings *own[3] = {&param_block.Video[0].OSD, &param_block.Video[1].OSD, &param_block.Display.OSD};
    osd_set_params(channel, own[channel]);
}

void network_step()
{
    network_reinit_request(&param_block);
    int mode = param_access_int("NetworkMode", 0);
    if (mode == 1 || mode == 2) {
        char name[24], addr[32];
        snprintf(name, sizeof name, "Net[%d].Addr", mode - 1);
        if (param_access_get(name, addr, sizeof addr) > 0)
            snprintf(network_redirect_host, sizeof network_redirect_host, "%.20s", addr);
    }
}

// A restart alone would leave a stopped push consumer stopped after its start mode became 1,
// and a running one running after it became 0.
void rtmp_push_step(int id)
{
    const char *name = id == PARAM_GROUP_RTMP0 ? "RTMP[0].StartMode" : "RTMP[1].StartMode";
    int start = param_access_int(name, 0) == 1;
    int running = stream_get_state_by_id(id);
    if (running < 0)
        return;
    if (start && running)
        stream_restart(id);
    else if (start != running)
        stream_set_state_by_id(id, start ? STREAM_START : STREAM_STOP);
}

void display_step()
{
    displayEnv.standard = param_access_int("Display.Standard", displayEnv.standard);
    displayEnv.mode = param_access_int("Display.DisplayMode", displayEnv.mode);
}

void strip_trailing_space(char *s)
{
    size_t n = strlen(s);
    while (n > 0 && isspace((unsigned char)s[n - 1]))
        s[--n] = 0;
}

} // namespace

void param_access_install(const ParamAccess *access)
{
    access_ops = access ? access : &table_access;
}

const ParamAccess *param_access()
{
    return access_ops;
}

int param_access_get(const char *name, char *buffer, size_t size)
{
    if (!access_ops || !access_ops->get || !name)
        return -1;
    return access_ops->get(name, buffer, size);
}

const char *param_access_set(const char *name, const char *text, size_t length)
{
    if (!access_ops || !access_ops->set)
        return "No such parameter";
    return access_ops->set(name, text, length);
}

int param_access_read_allowed(const char *name, int level)
{
    return access_ops && access_ops->read_allowed ? access_ops->read_allowed(name, level) : -1;
}

int param_access_write_allowed(const char *name, int level)
{
    return access_ops && access_ops->write_allowed ? access_ops->write_allowed(name, level) : -1;
}

const char *param_access_user_password(const char *user)
{
    if (!user || !*user || !access_ops || !access_ops->user_password)
        return nullptr;
    return access_ops->user_password(user);
}

int param_access_user_level(const char *user)
{
    if (access_ops && access_ops->user_level)
        return access_ops->user_level(user);
    // Without a settings table the device is open, as an unconfigured one is.
    return user && *user ? 0 : 5;
}

int param_access_int(const char *name, int fallback)
{
    char text[32];
    if (param_access_get(name, text, sizeof text) <= 0)
        return fallback;
    int value;
    return sscanf(text, "%i", &value) == 1 ? value : fallback;
}

void param_lock()
{
    pthread_once(&param_mutex_once, param_mutex_init);
    pthread_mutex_lock(&param_mutex);
}

void param_unlock()
{
    pthread_mutex_unlock(&param_mutex);
}

void param_apply_changes()
{
    param_lock();
    // Taken at once: a write that lands while the steps run is kept for the next commit.
    uint32_t mask = param_take_changed();
    if (mask & 0x7fff) {
        for (int i = 0; i <= 14; i++) {
            if (!(mask & (1u << i)))
                continue;
            log_printf("i=%d\n", i);
            if (i == 1 || i == 2)
                check_h264_mpeg4_conflict(&param_block, i - 1);
            if (i == PARAM_GROUP_RTMP0 || i == PARAM_GROUP_RTMP1)
                rtmp_push_step(i);
            else
                stream_restart(i);
        }
    }
    if (mask & (1u << PARAM_GROUP_NETWORK))
        network_step();
    if (mask & (1u << PARAM_GROUP_OSD_VIDEO0))
        osd_step(0);
    if (mask & (1u << PARAM_GROUP_OSD_VIDEO1))
        osd_step(1);
    if (mask & (1u << PARAM_GROUP_OSD_DISPLAY))
        osd_step(2);
    if (mask & (1u << PARAM_GROUP_DISPLAY_MODE))
        display_step();
    if (mask & (1u << PARAM_GROUP_USERS)) {
        if (access_ops && access_ops->check_users)
            access_ops->check_users();
        global_quit.rtsp_control = RTSP_CONTROL_RELOAD_USERS;
    }
    // After the users, so a commit that changes both restarts the RTSP server.
    if (mask & (1u << PARAM_GROUP_RTSP))
        global_quit.rtsp_control = RTSP_CONTROL_RESTART;
    param_unlock();
}

void param_commit()
{
    int rc = access_ops && access_ops->save_block ? access_ops->save_block() : -1;
    if (rc != 0)
        log_printf("save_param_block returned %d\n", rc);
    param_apply_changes();
}

int param_load_file(const char *path)
{
    if (!path)
        return -1;
    FILE *f = fopen(path, "r");
    if (!f)
        return -1;
    char line[200];
    while (fgets(line, sizeof line, f)) {
        char name[41] = "", value[101] = "";
        char sep = 0;
        int rc = sscanf(line, " %40[^ \t\n=] %c %100[^\n]", name, &sep, value);
        strip_trailing_space(value);
        if (rc >= 2 && sep == '=' && isalpha((unsigned char)name[0])) {
            const char *msg = param_access_set(name, value, strlen(value));
            if (msg)
                log_printf("can't set '%s' to '%s' (%s)\n", name, value, msg);
        } else {
            log_printf("can't set '%s' to '%s' (rc=%d)\n", name, value, rc);
        }
    }
    fclose(f);
    return 0;
}

int param_save_file(const char *path)
{
    FILE *f = fopen(path, "w");
    if (!f) {
        perror("fopen");
        return -1;
    }
    for (int i = 0; access_ops && access_ops->row_name && access_ops->row_name(i); i++) {
        const char *name = access_ops->row_name(i);
        if (access_ops->row_is_function(i) || strcasecmp(name, "NetworkMACAddr") == 0 ||
            strcasecmp(name, "DeveloperMode") == 0)
            continue;
        char value[100];
        if (access_ops->row_format(i, value, sizeof value) < 0)
            continue;
        if (fprintf(f, "%s = %s\r\n", name, value) < 0) {
            perror("fprintf");
            break;
        }
    }
    fclose(f);
    return 0;
}
