#include "web/httpd.h"

#include "audio/mixer.h"
#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "core/quit.h"
#include "core/threads.h"
#include "core/util.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "streams/stream.h"
#include "web/accesslog.h"
#include "web/auth.h"
#include "web/files.h"
#include "web/guard.h"
#include "web/hls.h"
#include "web/live.h"
#include "web/pages.h"
#include "web/upload.h"
#include "services/firmware.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

volatile int httpd_restart_request = -1;
int httpd_no_save;

namespace {

const char *const not_found_page =
    "<html><head><title>Not found</title></head><body>The requested resource could not be found.</body></html>";

ParamBlock *params;
MHD_Daemon *daemon_handle;
uint16_t daemon_port;
uint8_t digest_random[16];

pthread_mutex_t park_mutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<MHD_Connection *> parked;
bool parking_closed;            // the server is stopping: nothing may be suspended again

pthread_mutex_t tick_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t tick_cond;
int tick_pending;

// The save thread and the server share this mutex and condition.
pthread_mutex_t save_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t save_cond = PTHREAD_COND_INITIALIZER;
pthread_t save_thread;
bool save_running;
bool save_stop;
uint32_t save_wakes;
uint32_t save_wake_total;
uint32_t save_commits;

enum { FORM_KEY_MAX = 128, FORM_VALUE_MAX = 1024 };

// A settings form being read: values may arrive in pieces, so each is gathered and acted on
// when the next key begins or the form ends.
struct FormState {
    const char *prefix;
    char key[FORM_KEY_MAX];
    char value[FORM_VALUE_MAX + 1];
    size_t length;
    bool active;
    bool overflow;
    bool aborted;
    bool mixer;                 // keys go to the mixer, not to the settings
};

FormState *form_of(PostContext *ctx)
{
    return static_cast<FormState *>(ctx->upload);
}

bool is_form_handler(PostHandler h);

// --- GET handlers -----------------------------------------------------------------------------

int get_redirect_arg(HttpRequest *req)
{
    return http_redirect(req->connection, req->entry->arg);
}

int get_controls_redirect_func(HttpRequest *req)
{
    static const struct {
        const char *ending, *target;
    } targets[] = {
        {"streamA_controls", "setup_streama.htm"}, {"streamB_controls", "setup_streamb.htm"},
        {"capture_controls", "setup_video.htm"},   {"display_controls", "setup_output.htm"},
        {"udpA_controls", "control_streama.htm"},  {"udpB_controls", "control_streamb.htm"},
        {"delete_files_int", "download.htm"},      {"delete_files_ext", "download.htm"},
        {"delete_files_mmc", "download.htm"},
    };
    log_printf("%s: url=%s\n", "get_controls_redirect_func", log_text(req->url).text);
    for (const auto &t : targets)
        if (has_suffix_ci(req->url, t.ending))
            return http_redirect(req->connection, t.target);
    log_printf("%s: unknown redirect for %s\n", "get_controls_redirect_func", log_text(req->url).text);
    return HTTP_NO_RESPONSE;
}

int get_access_log(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_logs_refused(req, &refused))
        return refused;
    char *text = get_user_data_log(100, 0x7fffffff);
    size_t n = text ? strlen(text) : 0;
    MHD_Response *r = MHD_create_response_from_buffer(n, text ? text : (void *)"", text ? MHD_RESPMEM_MUST_FREE
                                                                                       : MHD_RESPMEM_PERSISTENT);
    if (!r) {
        free(text);
        return MHD_NO;
    }
    http_no_cache(r);
    http_set_type(r, "text/plain");
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

int get_debug_log(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_logs_refused(req, &refused))
        return refused;
    char *text = static_cast<char *>(malloc(LOG_RING_SIZE));
    if (!text)
        return MHD_NO;
    uint32_t n = log_ring_read(LOG_RING_SIZE, text, LOG_RING_SIZE);
    MHD_Response *r = MHD_create_response_from_buffer(n, text, MHD_RESPMEM_MUST_FREE);
    if (!r) {
        free(text);
        return MHD_NO;
    }
    http_no_cache(r);
    http_set_type(r, "text/plain");
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

// The output of "dmesg", run at most once a second: the text of the last run answers the requests
// that come sooner, so no client starts processes as fast as it asks.
int get_dmesg(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_logs_refused(req, &refused))
        return refused;
    enum { DMESG_MAX = 0x40000, DMESG_REUSE_MS = 1000 };
    static const char command[] = "dmesg";
    static DynBuf last;             // the server's thread alone answers here
    static RateGate runs;
    unsigned held;
    if (rate_gate_open(&runs, 1, DMESG_REUSE_MS, &held)) {
        dynbuf_free(&last);
        FILE *f = platform_popen(command);
        int status = -1;
        if (f) {
            char chunk[4096];
            size_t n;
            while (last.length < DMESG_MAX &&
                   (n = fread(chunk, 1, std::min(sizeof chunk, DMESG_MAX - last.length), f)) > 0)
                dynbuf_append(&last, chunk, n);
            status = platform_pclose(f);
        }
        // The shell answers 127 when it finds no such command.
        if (!f || (last.length == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 127)) {
            dynbuf_free(&last);
            dynbuf_printf(&last, "can't open %s\n", command);
        }
    }
    MHD_Response *r = MHD_create_response_from_buffer(last.length, last.data ? last.data : (void *)"",
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    http_no_cache(r);
    http_set_type(r, "text/plain");
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

// Factory settings, then the optional defaults file beside the pages, then one commit.
void load_default_params()
{
    factory_reset();
    char path[256];
    platform_path("/usr/html/config.txt", path, sizeof path);
    if (access(path, R_OK) == 0) {
        log_printf("Loading default params from file config.txt\n");
        param_load_file(path);
    } else {
        log_printf("Loading default params from internal table\n");
    }
    param_commit();
}

// A reset deletes every user and opens the device to anyone: a link or a picture on another
// site must not be able to do it, so it takes a POST, which the cross-site check guards.
int get_load_default_params(HttpRequest *req)
{
    log_printf("%s: a reset takes a POST, nothing done\n", "get_load_default_params");
    MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    http_no_cache(r);
    http_add_header(r, MHD_HTTP_HEADER_ALLOW, "POST");
    return http_queue(req->connection, MHD_HTTP_METHOD_NOT_ALLOWED, r);
}

int get_update_status(HttpRequest *req)
{
    if (!firmware_upload_active())
        return http_redirect(req->connection, req->entry->arg);
    return HTTP_NO_RESPONSE;
}

// --- POST handlers ----------------------------------------------------------------------------

int post_redirect_key(PostContext *ctx, const char *data, size_t size)
{
    if (!data || !size)
        return MHD_YES;
    char *target = strndup(data, size);
    if (!target)
        return MHD_YES;
    if (strlen(target) != size || !guard_local_target(target)) {
        log_printf("%s: redirect to %s ignored\n", "post_processor_func", log_text_n(data, size).text);
        free(target);
        return MHD_YES;
    }
    free(ctx->redirect);
    ctx->redirect = target;
    return MHD_YES;
}

int post_ignore_key(PostContext *, const char *, size_t)
{
    return MHD_YES;
}

int post_save_params_key(PostContext *ctx, const char *data, size_t size)
{
    if (!data)
        return MHD_YES;
    char v[8];
    if (memchr(data, 0, size))
        return MHD_YES;
    snprintf(v, sizeof v, "%.*s", (int)std::min(size, sizeof v - 1), data);
    if (strcmp(v, "0") == 0 || strcmp(v, "n") == 0 || strcmp(v, "N") == 0 || strcasecmp(v, "no") == 0 ||
        strcasecmp(v, "false") == 0)
        httpd_no_save = 1;
    else if (strcmp(v, "1") == 0 || strcmp(v, "y") == 0 || strcmp(v, "Y") == 0 || strcasecmp(v, "yes") == 0 ||
             strcasecmp(v, "true") == 0)
        httpd_no_save = 0;
    return MHD_YES;
}

// An empty value reaches its setter like any other: that is how a setting is cleared.
void form_key_handler(PostContext *ctx, const char *key, const char *value, size_t length)
{
    if (ctx->stopped)
        return;
    const char *prefix = form_of(ctx)->prefix;
    char name[FORM_KEY_MAX + 32];
    if (prefix && *prefix) {
        if (strcmp(key, "redirect") == 0) {
            post_redirect_key(ctx, value, length);
            return;
        }
        snprintf(name, sizeof name, "%s%s", prefix, key);
    } else {
        snprintf(name, sizeof name, "%s", key);
    }
    const UrlEntry *row = url_lookup(name);
    if (row && row->post_handler) {
        if (row->post_level && !auth_write_allowed(ctx->level, row->post_level)) {
            log_gated(ctx->user ? nullptr : &guard_refused_gate, "Warning: user %s does not have permission to post %s\n",
                      ctx->user ? log_text(ctx->user).text : "guest", log_text(name).text);
            ctx->denied = 1;
            ctx->stopped = 1;   // the rest of a refused action is not acted on either
            return;
        }
        // A form nested in a form is not a key: only the special keys act on values.
        if (!is_form_handler(row->post_handler))
            row->post_handler(ctx, value, length);
        return;
    }
    int allowed = param_access_write_allowed(name, ctx->level);
    if (allowed < 0) {
        log_gated(ctx->user ? nullptr : &guard_refused_gate, "Warning: param %s=%s doesn't exist\n", log_text(name).text,
                  log_text_n(value, length).text);
    } else if (allowed) {
        const char *msg = param_access_set(name, value, length);
        if (msg)
            log_printf("%s: %s\n", log_text(name).text, msg);
    } else {
        log_gated(ctx->user ? nullptr : &guard_refused_gate, "Warning: user %s does not have permission to set param %s\n",
                  ctx->user ? log_text(ctx->user).text : "guest", log_text(name).text);
        ctx->denied = 1;
    }
}

void form_flush(PostContext *ctx)
{
    FormState *f = form_of(ctx);
    if (!f || !f->active)
        return;
    f->active = false;
    if (f->aborted)
        return;
    if (f->overflow) {
        log_printf("%s: value of %s too long, ignored\n", "post_processor_func", log_text(f->key).text);
        return;
    }
    f->value[f->length] = 0;
    if (f->mixer)
        mixer_setting_apply(f->key, f->value, f->length);
    else
        form_key_handler(ctx, f->key, f->value, f->length);
}

// A multipart part without "name=" comes with no key: skipped, and said once per request.
bool unnamed_part(PostContext *ctx, const char *key, const char *handler)
{
    if (key)
        return false;
    if (!ctx->unnamed_parts++)
        log_printf("%s: form part without a name skipped\n", handler);
    return true;
}

MHD_Result form_iterator(void *cls, MHD_ValueKind kind, const char *key, const char *filename,
                         const char *content_type, const char *transfer_encoding, const char *data, uint64_t off,
                         size_t size)
{
    PostContext *ctx = static_cast<PostContext *>(cls);
    FormState *f = form_of(ctx);
    if (unnamed_part(ctx, key, "post_processor_func"))
        return MHD_YES;
    if (off == 0 || !f->active || strcmp(f->key, key) != 0) {
        form_flush(ctx);
        snprintf(f->key, sizeof f->key, "%s", key);
        f->length = 0;
        f->overflow = strlen(key) >= sizeof f->key;
        f->active = true;
    }
    if (size > FORM_VALUE_MAX - f->length) {
        f->overflow = true;
    } else if (data && size) {
        memcpy(f->value + f->length, data, size);
        f->length += size;
    }
    return MHD_YES;
}

int form_chunk(PostContext *ctx, const char *data, size_t size)
{
    return ctx->pp ? MHD_post_process(ctx->pp, data, size) : MHD_YES;
}

void form_release(PostContext *ctx)
{
    if (ctx->pp) {
        MHD_destroy_post_processor(ctx->pp);   // hands over the last value
        ctx->pp = nullptr;
    }
    form_flush(ctx);
    free(ctx->upload);
    ctx->upload = nullptr;
}

void post_processor_done(PostContext *ctx)
{
    form_release(ctx);
    upload_create_user_finish(ctx);
    param_apply_changes();
    if (httpd_no_save)
        httpd_no_save = 0;
    else
        param_save_wake();
}

// The client went away before the form ended: a half-received value is dropped, what was
// already set is applied, and the no-save flag never outlives its post.
void post_processor_abort(PostContext *ctx)
{
    if (FormState *f = form_of(ctx))
        f->aborted = true;
    post_processor_done(ctx);
}

// A body the library can't parse as a form (another content type) is refused: answering the
// usual redirect would tell the browser its settings were taken.
int post_processor_func(PostContext *ctx, const char *data, size_t size)
{
    if (data || ctx->pp)
        return MHD_YES;
    FormState *f = static_cast<FormState *>(calloc(1, sizeof(FormState)));
    if (!f)
        return MHD_NO;
    f->prefix = ctx->entry ? ctx->entry->arg : nullptr;
    ctx->upload = f;
    ctx->pp = MHD_create_post_processor(ctx->connection, 1024, form_iterator, ctx);
    if (!ctx->pp) {
        log_printf("%s: Failed to create post processor\n", "post_processor_func");
        free(ctx->upload);
        ctx->upload = nullptr;
        return MHD_NO;
    }
    ctx->chunk = form_chunk;
    ctx->close = post_processor_done;
    return MHD_YES;
}

// The mixer page's form: each field goes to the codec's mixer; nothing is stored.
int post_mixer_func(PostContext *ctx, const char *data, size_t size)
{
    if (data || ctx->pp)
        return MHD_YES;
    FormState *f = static_cast<FormState *>(calloc(1, sizeof(FormState)));
    if (!f)
        return MHD_NO;
    f->mixer = true;
    ctx->upload = f;
    ctx->pp = MHD_create_post_processor(ctx->connection, 1024, form_iterator, ctx);
    if (!ctx->pp) {
        log_printf("%s: Failed to create post processor\n", "post_mixer_func");
        free(ctx->upload);
        ctx->upload = nullptr;
        return MHD_NO;
    }
    ctx->chunk = form_chunk;
    ctx->close = form_release;
    return MHD_YES;
}

int get_mixer_page(HttpRequest *req)
{
    enum { MIXER_PAGE_SIZE = 65536 };
    char *page = static_cast<char *>(malloc(MIXER_PAGE_SIZE));
    if (!page)
        return MHD_NO;
    size_t n = mixer_page_render(page, MIXER_PAGE_SIZE);
    MHD_Response *r = MHD_create_response_from_buffer(n, page, MHD_RESPMEM_MUST_FREE);
    if (!r) {
        free(page);
        return MHD_NO;
    }
    http_no_cache(r);
    http_set_type(r, "text/html");
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

int post_no_save_func(PostContext *ctx, const char *data, size_t size)
{
    if (!data)
        httpd_no_save = 1;
    return post_processor_func(ctx, data, size);
}

// The clear-log form: one key, "confirm".
MHD_Result clear_log_iterator(void *cls, MHD_ValueKind kind, const char *key, const char *filename,
                              const char *content_type, const char *transfer_encoding, const char *data,
                              uint64_t off, size_t size)
{
    if (unnamed_part(static_cast<PostContext *>(cls), key, "post_clear_log_func"))
        return MHD_YES;
    if (strcmp(key, "confirm") != 0 || off != 0 || size == 0)
        return MHD_YES;
    if ((size <= 7 && strncasecmp(data, "checked", size) == 0) || (size <= 2 && strncasecmp(data, "on", size) == 0)) {
        log_printf("Clearing access log!\n");
        access_log_clear();
    }
    return MHD_YES;
}

void clear_log_done(PostContext *ctx)
{
    if (ctx->pp) {
        MHD_destroy_post_processor(ctx->pp);
        ctx->pp = nullptr;
    }
}

int post_clear_log_func(PostContext *ctx, const char *data, size_t size)
{
    if (data || ctx->pp)
        return MHD_YES;
    ctx->pp = MHD_create_post_processor(ctx->connection, 1024, clear_log_iterator, ctx);
    if (!ctx->pp) {
        log_printf("%s: Failed to create post processor\n", "post_clear_log_func");
        return MHD_NO;
    }
    ctx->chunk = form_chunk;
    ctx->close = clear_log_done;
    return MHD_YES;
}

// The Restore Defaults form: one key, "redirect"; the reset comes when the form is whole.
MHD_Result load_defaults_iterator(void *cls, MHD_ValueKind kind, const char *key, const char *filename,
                                  const char *content_type, const char *transfer_encoding, const char *data,
                                  uint64_t off, size_t size)
{
    PostContext *ctx = static_cast<PostContext *>(cls);
    if (unnamed_part(ctx, key, "post_load_default_params"))
        return MHD_YES;
    if (strcmp(key, "redirect") == 0 && off == 0 && size)
        post_redirect_key(ctx, data, size);
    return MHD_YES;
}

void load_defaults_done(PostContext *ctx)
{
    clear_log_done(ctx);
    if (ctx->aborted)
        return;
    load_default_params();
    const char *referer = MHD_lookup_connection_value(ctx->connection, MHD_HEADER_KIND, "Referer");
    log_printf("%s: referer=%s redir=%s\n", "post_load_default_params", log_text(referer).text,
               log_text(ctx->redirect).text);
}

int post_load_default_params(PostContext *ctx, const char *data, size_t size)
{
    if (data || ctx->pp)
        return MHD_YES;
    ctx->pp = MHD_create_post_processor(ctx->connection, 1024, load_defaults_iterator, ctx);
    if (!ctx->pp) {
        log_printf("%s: Failed to create post processor\n", "post_load_default_params");
        snprintf(ctx->refused, sizeof ctx->refused, "The defaults were not loaded: out of memory.");
        return MHD_YES;
    }
    ctx->chunk = form_chunk;
    ctx->close = load_defaults_done;
    return MHD_YES;
}

bool is_form_handler(PostHandler h)
{
    return h == post_processor_func || h == post_no_save_func || h == post_clear_log_func;
}

// --- the table --------------------------------------------------------------------------------

#define GENERATOR(n) {n, nullptr, generator_page, nullptr, 0}
#define FORM(n, prefix) {n, prefix, get_controls_redirect_func, post_processor_func, 0}
#define KEY(n, h) {n, nullptr, nullptr, h, 0}
#define STREAM(n, sel) {n, sel, get_stream_func, nullptr, 0}
#define HLS(n) {n, nullptr, hls_get_func, nullptr, 0}
#define FILES(n, h) {n, nullptr, h, nullptr, 0}
#define JPEG(n) {n, nullptr, jpeg_stream_handler, nullptr, 0}

} // namespace

const UrlEntry url_table[] = {
    {"", "/index.htm", get_redirect_arg, nullptr, 0},
    GENERATOR("capture_input_options"), GENERATOR("display_output_options"), GENERATOR("resolutionA_options"),
    GENERATOR("resolutionB_options"), GENERATOR("frame_rate_options"), GENERATOR("permission_options"),
    GENERATOR("users_table"), GENERATOR("nav_bar"), GENERATOR("username"), GENERATOR("referer"),
    FILES("filelist", files_list_func), FILES("download", files_download_func), FILES("filelist_int", files_list_func),
    FILES("filelist_ext", files_list_func), FILES("filelist_mmc", files_list_func),
    // Deleting recordings needs the level that changes the recording settings.
    {"delete_files_int", "int", get_controls_redirect_func, post_delete_files_func, WEB_LEVEL_STREAM_CONFIG},
    {"delete_files_ext", "ext", get_controls_redirect_func, post_delete_files_func, WEB_LEVEL_STREAM_CONFIG},
    {"delete_files_mmc", "mmc", get_controls_redirect_func, post_delete_files_func, WEB_LEVEL_STREAM_CONFIG},
    {"log.txt", nullptr, get_access_log, nullptr, 0},
    {"debuglog.txt", nullptr, get_debug_log, nullptr, 0},
    {"dmesg.txt", nullptr, get_dmesg, nullptr, 0},
    // The mixer needs the level that changes the audio settings.
    {"mixer_settings", nullptr, get_mixer_page, post_mixer_func, WEB_LEVEL_STREAM_CONFIG},
    GENERATOR("audio_input_options"), GENERATOR("rtsp_streams"), GENERATOR("stream_mode_options"),
    {"login.htm", nullptr, get_login_func, nullptr, 0},
    {"logout.htm", nullptr, get_logout_func, nullptr, 0},
    {"unauthorized.htm", pages_unauthorized_text, render_page, nullptr, 0},
    // Loading the defaults needs a user at exactly Admin, not Demo.
    {"load_default_params", nullptr, get_load_default_params, post_load_default_params, WEB_LEVEL_ADMIN},
    {"debug.htm", nullptr, get_debug_page, nullptr, 0}, {"config.txt", nullptr, get_config_txt, nullptr, 0},
    {"view_streama.htm", nullptr, get_view_stream, nullptr, 0},
    {"view_streamb.htm", nullptr, get_view_stream, nullptr, 0},
    {"controls", nullptr, nullptr, post_processor_func, 0},
    {"auth_controls", nullptr, nullptr, post_processor_func, 0},
    FORM("streamA_controls", "Video[0]."), FORM("streamB_controls", "Video[1]."),
    {"streamA_controls_no_save", "Video[0].", get_controls_redirect_func, post_no_save_func, 0},
    {"streamB_controls_no_save", "Video[1].", get_controls_redirect_func, post_no_save_func, 0},
    FORM("capture_controls", "Capture."), FORM("display_controls", "Display."),
    {"display_controls_no_save", "Display.", get_controls_redirect_func, post_no_save_func, 0},
    FORM("udpA_controls", "UDP[0]."), FORM("udpB_controls", "UDP[1]."),
    KEY("Video[0].x", post_ignore_key), KEY("Video[0].y", post_ignore_key),
    KEY("Video[0].save_params", post_save_params_key),
    KEY("Video[1].x", post_ignore_key), KEY("Video[1].y", post_ignore_key),
    KEY("Video[1].save_params", post_save_params_key),
    KEY("Capture.x", post_ignore_key), KEY("Capture.y", post_ignore_key),
    KEY("Capture.save_params", post_save_params_key),
    KEY("Display.x", post_ignore_key), KEY("Display.y", post_ignore_key),
    KEY("Display.save_params", post_save_params_key),
    KEY("UDP[0].x", post_ignore_key), KEY("UDP[0].y", post_ignore_key),
    KEY("UDP[0].save_params", post_save_params_key),
    KEY("UDP[1].x", post_ignore_key), KEY("UDP[1].y", post_ignore_key),
    KEY("UDP[1].save_params", post_save_params_key),
    KEY("redirect", post_redirect_key),
    {"create_user_name", nullptr, nullptr, post_create_user_name, WEB_LEVEL_ADMIN},
    {"create_user_perm", nullptr, nullptr, post_create_user_perm, WEB_LEVEL_ADMIN},
    {"create_user_pass", nullptr, nullptr, post_create_user_pass, WEB_LEVEL_ADMIN},
    // Below Admin the body is read and dropped and the answer is the usual one.
    {"firmware", nullptr, nullptr, post_firmware_func, 0},
    {"customzip", nullptr, nullptr, post_customzip_func, 0},
    // Clearing the log needs the level that creates users, whose records it removes.
    {"clear_log", nullptr, nullptr, post_clear_log_func, WEB_LEVEL_ADMIN},
    {"admin_update_status.htm", "admin_update.htm", get_update_status, nullptr, 0},
    JPEG("streamA.jpg"), JPEG("streamA.mjpg"), JPEG("streamB.jpg"), JPEG("streamB.mjpg"),
    STREAM("streamA.h264", "0x102"), STREAM("streamA_vid.ts", "0x101"), STREAM("streamA.ts", "0x100"),
    STREAM("streamA.aac", "0x511"), STREAM("streamB.h264", "0x202"), STREAM("streamB_vid.ts", "0x201"),
    STREAM("streamB.ts", "0x200"), STREAM("streamB.aac", "0x511"), STREAM("streamC.pcm", "0x412"),
    STREAM("streamA.flv", "0x10f"), STREAM("streamB.flv", "0x20f"),
    HLS("streamA.m3u8"),
    HLS("streamA0.ts"), HLS("streamA1.ts"), HLS("streamA2.ts"), HLS("streamA3.ts"), HLS("streamA4.ts"),
    HLS("streamA5.ts"), HLS("streamA6.ts"), HLS("streamA7.ts"), HLS("streamA8.ts"), HLS("streamA9.ts"),
    HLS("streamB.m3u8"),
    HLS("streamB0.ts"), HLS("streamB1.ts"), HLS("streamB2.ts"), HLS("streamB3.ts"), HLS("streamB4.ts"),
    HLS("streamB5.ts"), HLS("streamB6.ts"), HLS("streamB7.ts"), HLS("streamB8.ts"), HLS("streamB9.ts"),
    KEY("save_params", post_save_params_key),
};
const int url_table_size = sizeof url_table / sizeof url_table[0];
static_assert(sizeof url_table / sizeof url_table[0] == 109);

int httpd_post_form(PostContext *ctx, const char *data, size_t size)
{
    return post_processor_func(ctx, data, size);
}

void (*const httpd_post_done)(PostContext *ctx) = post_processor_done;

// Save-less rows take their keys with the prefix too, but a page's fields inside their forms
// are left as written.
bool url_is_settings_form(const UrlEntry *row)
{
    return row && row->post_handler == post_processor_func;
}

const UrlEntry *url_lookup(const char *name)
{
    for (int i = 0; i < url_table_size; i++)
        if (strcmp(url_table[i].name, name) == 0)
            return &url_table[i];
    return nullptr;
}

// --- responses --------------------------------------------------------------------------------

int http_add_header(MHD_Response *r, const char *name, const char *value)
{
    if (MHD_add_response_header(r, name, value) != MHD_YES) {
        log_printf("failed to add header %s = %s\n", name, log_text(value).text);
        return -1;
    }
    return 0;
}

void http_no_cache(MHD_Response *r)
{
    http_add_header(r, "Cache-Control", "no-cache");
}

void http_set_type(MHD_Response *r, const char *type)
{
    http_add_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
}

MHD_Result http_queue(MHD_Connection *c, unsigned status, MHD_Response *r)
{
    MHD_Result ret = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ret;
}

MHD_Result http_redirect(MHD_Connection *c, const char *location)
{
    MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    http_no_cache(r);
    http_add_header(r, "Location", location);
    return http_queue(c, MHD_HTTP_SEE_OTHER, r);
}

MHD_Result http_text(MHD_Connection *c, unsigned status, const char *type, const char *body, size_t length)
{
    MHD_Response *r = MHD_create_response_from_buffer(length, (void *)body, MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    http_no_cache(r);
    if (type)
        http_set_type(r, type);
    return http_queue(c, status, r);
}

MHD_Response *http_html_response(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *body = nullptr;
    int n = vasprintf(&body, fmt, ap);
    va_end(ap);
    if (n < 0)
        return nullptr;
    MHD_Response *r = MHD_create_response_from_buffer(n, body, MHD_RESPMEM_MUST_FREE);
    if (!r) {
        free(body);
        return nullptr;
    }
    http_no_cache(r);
    http_set_type(r, "text/html");
    return r;
}

MHD_Result http_not_found(MHD_Connection *c, const char *url, const char *user)
{
    static LogGate gate = {"unknown URLs", 0, 0, {}, nullptr, false};
    log_gated(user ? nullptr : &gate, "resource %s not found\n", log_text(url).text);
    MHD_Response *r = MHD_create_response_from_buffer(strlen(not_found_page), (void *)not_found_page,
                                                      MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    http_no_cache(r);
    http_set_type(r, "text/html");
    return http_queue(c, MHD_HTTP_NOT_FOUND, r);
}

MHD_Result http_method_not_allowed(MHD_Connection *c)
{
    MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    http_no_cache(r);
    http_add_header(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    return http_queue(c, MHD_HTTP_METHOD_NOT_ALLOWED, r);
}

const char *get_mime_type(const char *filename)
{
    static const struct {
        const char *ending, *type;
    } types[] = {
        {".css", "text/css"},        {".gif", "image/gif"},
        {".js", "text/javascript"},  {".ico", "image/vnd.microsoft.icon"},
        {".jpeg", "image/jpeg"},     {".jpg", "image/jpeg"},
        {".png", "image/png"},       {".tif", "image/tiff"},
        {".tiff", "image/tiff"},     {".m3u", "application/x-mpegURL"},
        {".m3u8", "application/x-mpegURL"}, {".swf", "application/x-shockwave-flash"},
        {".mp4", "video/mp4"},       {".ts", "video/MP2T"},
    };
    for (const auto &t : types)
        if (has_suffix_ci(filename, t.ending))
            return t.type;
    log_printf("%s: unhandled MIME Type: %s\n", "get_mime_type", log_text(filename).text);
    return nullptr;
}

size_t html_escape(const char *in, char *out, size_t size)
{
    size_t n = 0;
    if (size == 0)
        return 0;
    for (; in && *in; in++) {
        const char *rep = nullptr;
        switch (*in) {
        case '&': rep = "&amp;"; break;
        case '<': rep = "&lt;"; break;
        case '>': rep = "&gt;"; break;
        case '"': rep = "&quot;"; break;
        case '\'': rep = "&#39;"; break;
        }
        size_t len = rep ? strlen(rep) : 1;
        if (n + len >= size)
            break;
        if (rep)
            memcpy(out + n, rep, len);
        else
            out[n] = *in;
        n += len;
    }
    out[n] = 0;
    return n;
}

int dynbuf_append(DynBuf *b, const char *text, size_t length)
{
    if (b->length + length + 1 > b->capacity) {
        size_t want = (b->length + length + 1 + 4095) & ~(size_t)4095;
        char *p = static_cast<char *>(realloc(b->data, want));
        if (!p) {
            log_printf("dynamic buffer failed to reallocate %d bytes\n", (int)want);
            if (b->capacity == 0)
                return -1;
            length = b->capacity - b->length - 1;
        } else {
            b->data = p;
            b->capacity = want;
            b->owned = 1;
        }
    }
    memcpy(b->data + b->length, text, length);
    b->length += length;
    b->data[b->length] = 0;
    return 0;
}

int dynbuf_printf(DynBuf *b, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    char *text = nullptr;
    int n = vasprintf(&text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    int r = dynbuf_append(b, text, (size_t)n);
    free(text);
    return r;
}

void dynbuf_free(DynBuf *b)
{
    if (b->owned)
        free(b->data);
    *b = {};
}

// --- the access handler -----------------------------------------------------------------------

namespace {

// Rows whose answer holds its connection while a stream plays (or until its next unit comes).
bool is_stream_row(const UrlEntry *entry)
{
    return entry->get_handler == get_stream_func || entry->get_handler == jpeg_stream_handler ||
           entry->get_handler == hls_get_func;
}

MHD_Result answer_get(MHD_Connection *connection, const char *url)
{
    HttpRequest req = {};
    req.connection = connection;
    req.url = url;
    int ok = 1;
    req.user = auth_get_user(connection, &ok);
    if (req.user && ok != 1) {
        free(req.user);
        return queue_auth_fail(connection, ok);
    }
    if (!req.user && !guard_host_trusted(connection))
        return guard_answer_foreign_host(connection, "GET", url);
    req.level = param_access_user_level(req.user);
    const char *path = url[0] == '/' ? url + 1 : url;
    int ret = HTTP_NO_RESPONSE;
    req.entry = url_lookup(path);
    if (req.entry && is_stream_row(req.entry) && !guard_stream_admit(connection)) {
        static const char body[] = "Every connection for streams is in use; try again later\n";
        ret = http_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain", body, sizeof body - 1);
    } else if (req.entry && req.entry->get_handler) {
        req.prefix = req.entry->arg;
        ret = req.entry->get_handler(&req);
    }
    if (ret == HTTP_NO_RESPONSE) {
        int allowed = param_access_read_allowed(path, req.level);
        if (allowed == 0) {
            ret = queue_auth_fail(connection, 0);
        } else if (allowed > 0) {
            char value[81];
            int n = param_access_get(path, value, sizeof value);
            if (n >= 0)
                ret = http_text(connection, MHD_HTTP_OK, "text/plain", value, std::min(n, 80));
        }
    }
    // Unknown names and unreadable values are pages and files.
    if (ret == HTTP_NO_RESPONSE)
        ret = serve_file(&req);
    if (ret == HTTP_NO_RESPONSE)
        ret = http_not_found(connection, url, req.user);
    free(req.user);
    if (ret != MHD_YES)
        log_printf("%s: returning %d, should be MHD_YES\n", "answer_to_connection", ret);
    return ret == MHD_YES ? MHD_YES : MHD_NO;
}

void post_context_free(PostContext *ctx)
{
    free(ctx->user);
    free(ctx->redirect);
    free(ctx->upload);
    free(ctx->new_user);
    free(ctx);
}

MHD_Result answer_post_final(MHD_Connection *connection, PostContext *ctx);
// A form that was refused with its reason, and a way back.
MHD_Result answer_refused(MHD_Connection *connection, const PostContext *ctx)
{
    char back[256], reason[3 * sizeof ctx->refused], back_escaped[6 * sizeof back];
    guard_return_target(connection, nullptr, "/index.htm", back, sizeof back);
    html_escape(ctx->refused, reason, sizeof reason);
    html_escape(back, back_escaped, sizeof back_escaped);
    MHD_Response *r = http_html_response(
        "<html><head><title>Not done</title></head>\n<body><p>%s</p>\n<p><a href=\"%s\">Back</a></p></body></html>\n",
        reason, back_escaped);
    return r ? http_queue(connection, MHD_HTTP_BAD_REQUEST, r) : MHD_NO;
}

MHD_Result answer_post_first(MHD_Connection *connection, const char *url, void **con_cls)
{
    const char *path = url[0] == '/' ? url + 1 : url;
    const UrlEntry *entry = url_lookup(path);
    MHD_Result refused;
    if (guard_update_refused(connection, url, &refused))
        return refused;
    if (!entry)
        return http_not_found(connection, url);
    if (!entry->post_handler) {
        log_gated(&guard_refused_gate, "%s: POST to %s not allowed\n", "answer_to_connection", log_text(url).text);
        return http_method_not_allowed(connection);
    }
    if (const char *header = guard_cross_site(connection))
        return guard_answer_cross_site(connection, url, header);
    PostContext *ctx = static_cast<PostContext *>(calloc(1, sizeof(PostContext)));
    if (!ctx)
        return MHD_NO;
    ctx->connection = connection;
    ctx->entry = entry;
    int ok = 1;
    ctx->user = auth_get_user(connection, &ok);
    if ((ctx->user && ok != 1) || guard_open_device_only(entry, ctx->user)) {
        int result = ctx->user ? ok : 0;
        post_context_free(ctx);
        return queue_auth_fail(connection, result);
    }
    if (!ctx->user && !guard_host_trusted(connection)) {
        post_context_free(ctx);
        return guard_answer_foreign_host(connection, "POST", url);
    }
    ctx->level = param_access_user_level(ctx->user);
    *con_cls = ctx;
    bool settings = entry->post_handler == post_processor_func || entry->post_handler == post_no_save_func;
    if (!guard_post_may_change(entry, ctx, settings)) {
        log_gated(ctx->user ? nullptr : &guard_refused_gate, "Warning: user %s does not have permission to post %s\n",
                  ctx->user ? log_text(ctx->user).text : "guest", entry->name);
        ctx->denied = 1;
        return answer_post_final(connection, ctx);
    }
    if (entry->post_handler(ctx, nullptr, 0) == MHD_NO)
        return MHD_NO;
    // Answered before the body: the library then reads none of it and closes the connection.
    return ctx->answer_early ? answer_post_final(connection, ctx) : MHD_YES;
}

MHD_Result answer_post_final(MHD_Connection *connection, PostContext *ctx)
{
    CloseHandler close = ctx->close;
    ctx->close = nullptr;
    if (close)
        close(ctx);
    // Work left on another thread: the library calls again once it resumes the connection.
    if (ctx->deferred)
        return MHD_YES;
    free(ctx->user);
    ctx->user = nullptr;
    if (network_redirect_host[0]) {
        free(ctx->redirect);
        if (asprintf(&ctx->redirect, "http://%s/admin_network.htm", network_redirect_host) < 0)
            ctx->redirect = nullptr;
        network_redirect_host[0] = 0;
    }
    if (ctx->denied)
        return queue_auth_fail(connection, 0);
    if (ctx->refusal)
        return http_text(connection, ctx->refusal, "text/plain", ctx->refusal_text, strlen(ctx->refusal_text));
    if (ctx->refused[0])
        return answer_refused(connection, ctx);
    // The redirect is a checked path or the device's own new address.
    if (ctx->redirect)
        return http_redirect(connection, ctx->redirect);
    char back[512];
    if (guard_return_target(connection, nullptr, nullptr, back, sizeof back))
        return http_redirect(connection, back);
    return http_text(connection, MHD_HTTP_OK, nullptr, "", 0);
}

// Marks a GET or HEAD whose answer waits for the library's second call (see access_entry).
char answer_deferred;

void request_completed_callback(void *cls, MHD_Connection *connection, void **con_cls,
                                MHD_RequestTerminationCode toe)
{
    guard_request_done(connection);
    if (*con_cls == &answer_deferred)
        *con_cls = nullptr;
    PostContext *ctx = static_cast<PostContext *>(*con_cls);
    if (!ctx)
        return;
    *con_cls = nullptr;
    if (ctx->close) {
        // The final call never came: the client went away mid-post.
        ctx->aborted = 1;
        if (ctx->close == post_processor_done)
            post_processor_abort(ctx);
        else
            ctx->close(ctx);
    }
    if (ctx->pp)
        MHD_destroy_post_processor(ctx->pp);
    post_context_free(ctx);
}

} // namespace

MHD_Result answer_to_connection(void *cls, MHD_Connection *connection, const char *url, const char *method,
                                const char *version, const char *upload_data, size_t *upload_data_size,
                                void **con_cls)
{
    if (strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0)
        return answer_get(connection, url);
    if (strcmp(method, MHD_HTTP_METHOD_POST) != 0)
        return http_not_found(connection, url);
    if (*con_cls == nullptr)
        return answer_post_first(connection, url, con_cls);
    PostContext *ctx = static_cast<PostContext *>(*con_cls);
    if (*upload_data_size != 0) {
        if (ctx->chunk && !ctx->denied)
            ctx->chunk(ctx, upload_data, *upload_data_size);
        ctx->upload_bytes += *upload_data_size;
        *upload_data_size = 0;
        return MHD_YES;
    }
    return answer_post_final(connection, ctx);
}

// --- server start and stop, parked connections -------------------------------------------------

namespace {

MHD_AccessHandlerCallback access_handler;

// No body announced: the library's second call for the request comes at once.
bool without_body(MHD_Connection *c)
{
    const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return !MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) &&
           (!length || strcmp(length, "0") == 0);
}

// Every call passes the connection guard first, which keeps the request's deadlines.
// The library closes the connection after any answer queued on its first call for a request
// (it takes it for an answer sent before the body), so every page and HLS fetch was a new
// connection, and a newcomer to a full server. A GET or HEAD without a body is answered on the
// second call, and the connection stays for the next request. One with a body, and a POST
// refused on its first call, are answered at once and closed, their body unread; endless
// streams ask for the close themselves.
MHD_Result access_entry(void *cls, MHD_Connection *connection, const char *url, const char *method,
                        const char *version, const char *upload_data, size_t *upload_data_size, void **con_cls)
{
    guard_track_request(connection, url, method, *upload_data_size);
    bool bodiless = (strcmp(method, MHD_HTTP_METHOD_GET) == 0 || strcmp(method, MHD_HTTP_METHOD_HEAD) == 0) &&
                    without_body(connection);
    if (bodiless && *con_cls == nullptr) {
        *con_cls = &answer_deferred;
        return MHD_YES;
    }
    if (*con_cls == &answer_deferred)
        *con_cls = nullptr;
    return access_handler(cls, connection, url, method, version, upload_data, upload_data_size, con_cls);
}

} // namespace

int httpd_start(uint16_t port, MHD_AccessHandlerCallback handler)
{
    if (daemon_handle)
        return 0;
    access_handler = handler ? handler : answer_to_connection;
    // poll, not select: select cannot watch a descriptor above 1023, and the process holds many.
    daemon_handle = MHD_start_daemon(MHD_USE_POLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, port, guard_accept,
                                     nullptr, access_entry, nullptr,
                                     MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof digest_random, digest_random,
                                     MHD_OPTION_NONCE_NC_SIZE, 100, MHD_OPTION_NOTIFY_COMPLETED,
                                     request_completed_callback, nullptr,
                                     MHD_OPTION_NOTIFY_CONNECTION, guard_notify_connection, nullptr,
                                     MHD_OPTION_CONNECTION_TIMEOUT, guard_limits()->idle_seconds,
                                     MHD_OPTION_PER_IP_CONNECTION_LIMIT, guard_limits()->per_address + GUARD_EVICTED_SLACK,
                                     MHD_OPTION_CONNECTION_LIMIT, guard_limits()->connections + GUARD_EVICTED_SLACK,
                                     MHD_OPTION_END);
    if (!daemon_handle)
        return -1;
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_handle, MHD_DAEMON_INFO_BIND_PORT);
    daemon_port = info ? info->port : port;
    return 0;
}

void httpd_stop()
{
    if (!daemon_handle)
        return;
    // The library aborts the process when stopped with connections still suspended.
    // A resumed stream reader would otherwise suspend itself again while the library stops.
    pthread_mutex_lock(&park_mutex);
    parking_closed = true;
    for (MHD_Connection *c : parked)
        MHD_resume_connection(c);
    parked.clear();
    pthread_mutex_unlock(&park_mutex);
    MHD_stop_daemon(daemon_handle);
    daemon_handle = nullptr;
    daemon_port = 0;
    pthread_mutex_lock(&park_mutex);
    parking_closed = false;
    pthread_mutex_unlock(&park_mutex);
}

uint16_t httpd_port()
{
    return daemon_port;
}

int httpd_park(MHD_Connection *connection)
{
    pthread_mutex_lock(&park_mutex);
    if (parking_closed) {
        pthread_mutex_unlock(&park_mutex);
        return -1;
    }
    MHD_suspend_connection(connection);
    parked.push_back(connection);
    pthread_mutex_unlock(&park_mutex);
    return 0;
}

int httpd_unpark(MHD_Connection *connection)
{
    pthread_mutex_lock(&park_mutex);
    auto it = std::find(parked.begin(), parked.end(), connection);
    if (it == parked.end()) {
        pthread_mutex_unlock(&park_mutex);
        return -1;
    }
    parked.erase(it);
    MHD_resume_connection(connection);
    pthread_mutex_unlock(&park_mutex);
    return 0;
}

int httpd_unpark_answer(MHD_Connection *connection, unsigned status, MHD_Response *response)
{
    pthread_mutex_lock(&park_mutex);
    auto it = std::find(parked.begin(), parked.end(), connection);
    if (it == parked.end()) {
        pthread_mutex_unlock(&park_mutex);
        MHD_destroy_response(response);
        return -1;
    }
    parked.erase(it);
    // Queued while suspended, the handler is not called again (a digest answer would not
    // pass twice: its nonce count is spent).
    MHD_Result r = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    MHD_resume_connection(connection);
    pthread_mutex_unlock(&park_mutex);
    return r == MHD_YES ? 0 : -1;
}

int httpd_parked_count()
{
    pthread_mutex_lock(&park_mutex);
    int n = (int)parked.size();
    pthread_mutex_unlock(&park_mutex);
    return n;
}

// --- the settings save thread ------------------------------------------------------------------

namespace {

void *param_save_thread(void *)
{
    bool more_came = false;
    pthread_mutex_lock(&save_mutex);
    for (;;) {
        while (!save_stop && save_wakes == 0)
            pthread_cond_wait(&save_cond, &save_mutex);
        if (save_stop && save_wakes == 0)
            break;
        save_wakes = 0;
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += more_came ? 10 : 1;
        // Wake-ups during the wait don't move the deadline; they only say more changes came.
        while (!save_stop) {
            if (pthread_cond_timedwait(&save_cond, &save_mutex, &deadline) == ETIMEDOUT)
                break;
        }
        more_came = save_wakes != 0;
        pthread_mutex_unlock(&save_mutex);
        // On quit the wait ends early, but the changes are still stored.
        param_commit();
        pthread_mutex_lock(&save_mutex);
        save_commits++;
        if (save_stop && save_wakes == 0)
            break;
    }
    save_running = false;
    pthread_mutex_unlock(&save_mutex);
    return nullptr;
}

} // namespace

void param_save_wake()
{
    pthread_mutex_lock(&save_mutex);
    save_wakes++;
    save_wake_total++;
    pthread_cond_broadcast(&save_cond);
    pthread_mutex_unlock(&save_mutex);
}

int param_save_start()
{
    pthread_mutex_lock(&save_mutex);
    save_stop = false;
    save_wakes = 0;
    pthread_mutex_unlock(&save_mutex);
    if (pthread_create(&save_thread, nullptr, param_save_thread, nullptr) != 0)
        return -1;
    save_running = true;
    return 0;
}

void param_save_stop()
{
    if (!save_running && !save_thread)
        return;
    pthread_mutex_lock(&save_mutex);
    save_stop = true;
    pthread_cond_broadcast(&save_cond);
    pthread_mutex_unlock(&save_mutex);
    pthread_join(save_thread, nullptr);
    save_thread = 0;
}

uint32_t param_save_wake_count()
{
    pthread_mutex_lock(&save_mutex);
    uint32_t n = save_wake_total;
    pthread_mutex_unlock(&save_mutex);
    return n;
}

uint32_t param_save_commits()
{
    pthread_mutex_lock(&save_mutex);
    uint32_t n = save_commits;
    pthread_mutex_unlock(&save_mutex);
    return n;
}

// --- the thread -------------------------------------------------------------------------------

void httpd_tick_signal()
{
    pthread_mutex_lock(&tick_mutex);
    tick_pending = 1;
    pthread_cond_signal(&tick_cond);
    pthread_mutex_unlock(&tick_mutex);
}

void *httpdThrFxn(void *arg)
{
    SimpleEnv *env = static_cast<SimpleEnv *>(arg);
    thread_init_begin(env->name);
    srand((unsigned)time(nullptr));
    if (getrandom(digest_random, sizeof digest_random, 0) != (ssize_t)sizeof digest_random)
        for (uint8_t &b : digest_random)
            b = (uint8_t)rand();
    access_log_scan();
    thread_init_end(env->name);
    rendezvous_meet(env->hRendezvousInit, env->name);

    if (param_save_start() != 0)
        log_error("%s %d: Failed to create param save thread\n", env->name, __LINE__);
    params = env->params;
    httpd_restart_request = 0;
    stream_set_record_notify(httpd_tick_signal);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&tick_cond, &ca);
    pthread_condattr_destroy(&ca);

    for (;;) {
        fileSysTick(params);
        if (quit_requested()) {
            myRendezvousCleanup(env->hRendezvousCleanup, env->name);
            httpd_stop();
            param_save_stop();
            break;
        }
        if (!daemon_handle) {
            if (httpd_start(80, nullptr) == 0) {
                log_printf("%s: started\n", env->name);
                httpd_restart_request = 0;
            } else {
                log_printf("%s %d: Failed to start httpd daemon\n", env->name, __LINE__);
                quit_wait(1000);
                continue;
            }
        }
        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += 1;
        pthread_mutex_lock(&tick_mutex);
        while (!tick_pending && !quit_requested_nolock())
            if (pthread_cond_timedwait(&tick_cond, &tick_mutex, &deadline) == ETIMEDOUT)
                break;
        tick_pending = 0;
        pthread_mutex_unlock(&tick_mutex);
        guard_sweep();
        if (httpd_restart_request) {
            httpd_stop();
            httpd_restart_request = 0;
        }
    }
    return nullptr;
}
