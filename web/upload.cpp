#include "web/upload.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "services/customzip.h"
#include "services/firmware.h"
#include "web/auth.h"
#include "web/guard.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
// The firmware header may come in pieces: it is gathered before the upload starts.
struct FirmwarePost {
    uint8_t head[FIRMWARE_HEADER_SIZE];
    size_t head_length;
    bool started;               // this request owns the update
    bool refused;               // the header was refused: the rest of the body is dropped
};

// Another update is arriving or flashing: this one is refused and never touches it.
void firmware_refuse_busy(PostContext *ctx, FirmwarePost *fw)
{
    fw->refused = true;
    log_printf("%s: another update is in progress, upload refused\n", "post_firmware_func");
    ctx->refusal = MHD_HTTP_CONFLICT;
    ctx->refusal_text = "Another firmware update is in progress\n";
}

void firmware_end(PostContext *ctx)
{
    FirmwarePost *fw = static_cast<FirmwarePost *>(ctx->upload);
    if (fw && fw->started)
        upload_finish();
    else if (fw && !fw->refused && fw->head_length &&
             firmware_upload_init(fw->head, fw->head_length) == FIRMWARE_BUSY)   // too small
        firmware_refuse_busy(ctx, fw);
    free(ctx->upload);
    ctx->upload = nullptr;
    httpd_post_done(ctx);
}

int firmware_chunk(PostContext *ctx, const char *data, size_t size)
{
    if (!guard_may_upload(ctx))
        return MHD_YES;
    FirmwarePost *fw = static_cast<FirmwarePost *>(ctx->upload);
    if (!fw) {
        if (!(fw = static_cast<FirmwarePost *>(calloc(1, sizeof(FirmwarePost)))))
            return MHD_NO;
        ctx->upload = fw;
        if (ctx->close && ctx->close != httpd_post_done)
            log_printf("%s: warning! post->close_func != post_processor_done\n", "post_firmware_func");
        ctx->close = firmware_end;
    }
    if (fw->refused)
        return MHD_YES;
    if (!fw->started) {
        size_t n = std::min(size, sizeof fw->head - fw->head_length);
        memcpy(fw->head + fw->head_length, data, n);
        fw->head_length += n;
        data += n;
        size -= n;
        if (fw->head_length < sizeof fw->head)
            return MHD_YES;
        if (firmware_upload_active()) {
            firmware_refuse_busy(ctx, fw);
            return MHD_YES;
        }
        int rc = firmware_upload_init(fw->head, fw->head_length);
        if (rc != 0) {
            // Starting again mid-body would only replace the reason with a wrong one.
            if (rc == FIRMWARE_BUSY)
                firmware_refuse_busy(ctx, fw);
            fw->refused = true;
            return MHD_YES;
        }
        fw->started = true;
        firmware_upload_data(fw->head, fw->head_length);
    }
    if (size)
        firmware_upload_data(data, size);
    return MHD_YES;
}

// The first call of an upload row: the body's chunks go to chunk from now on. A body the guards
// refuse is answered before it is read.
int begin_admin_upload(PostContext *ctx, const char *data, decltype(PostContext::chunk) chunk, uint64_t max_body,
                       const char *too_large)
{
    if (data)
        return MHD_YES;
    ctx->chunk = chunk;
    guard_upload_refused(ctx, max_body, too_large);
    return MHD_YES;
}

} // namespace

int post_firmware_func(PostContext *ctx, const char *data, size_t size)
{
    return begin_admin_upload(ctx, data, firmware_chunk, FIRMWARE_MAX_SIZE, "firmware file too large\n");
}

namespace {

// Custom zip: the block is the length word followed by the archive.
struct ZipJob;
struct ZipPost {
    char *block;
    size_t count;
    bool oversize;
    ZipJob *job;
};

// Storing and unpacking run on a thread of their own while the connection waits parked; the
// job is shared with the request until both are done with it.
struct ZipJob {
    std::atomic<int> refs;
    pthread_mutex_t mutex;      // held until the connection is parked
    bool parked;
    MHD_Connection *connection;
    char *block;
    size_t count;
    int result;
    const char *why;            // the reason of a damaged archive
};

const char zip_refused_text[] = "customzip: archive unpacks to more than the web root takes\n";

// A save that failed is answered with its reason, never as stored.
void zip_refusal(PostContext *ctx, int result, const char *why)
{
    if (result == CUSTOMZIP_REFUSED) {
        ctx->refusal = MHD_HTTP_CONTENT_TOO_LARGE;
        ctx->refusal_text = zip_refused_text;
    } else if (result == CUSTOMZIP_DAMAGED) {
        ctx->refusal = MHD_HTTP_UNPROCESSABLE_CONTENT;
        ctx->refusal_text = why;
    } else if (result < 0) {
        ctx->refusal = MHD_HTTP_INTERNAL_SERVER_ERROR;
        ctx->refusal_text = "customzip: the archive was not stored\n";
    }
}

void zip_job_release(ZipJob *job)
{
    if (--job->refs > 0)
        return;
    pthread_mutex_destroy(&job->mutex);
    free(job->block);
    delete job;
}

void *zip_job_thread(void *arg)
{
    ZipJob *job = static_cast<ZipJob *>(arg);
    job->result = customzip_save(job->block, job->count, &job->why);
    pthread_mutex_lock(&job->mutex);
    if (job->parked)
        httpd_unpark(job->connection);   // the library calls again, and the answer is made then
    pthread_mutex_unlock(&job->mutex);
    zip_job_release(job);
    return nullptr;
}

// The call after the job resumed the connection (or the request's end when the server let it go).
void customzip_answer(PostContext *ctx)
{
    ctx->deferred = 0;
    ZipPost *z = static_cast<ZipPost *>(ctx->upload);
    if (z && z->job) {
        zip_refusal(ctx, z->job->result, z->job->why);
        zip_job_release(z->job);
        z->job = nullptr;
    }
}

// Hands the block to a job; false when it has to be stored here and now.
bool customzip_defer(PostContext *ctx, ZipPost *z)
{
    ZipJob *job = new ZipJob();
    job->refs = 2;
    pthread_mutex_init(&job->mutex, nullptr);
    job->connection = ctx->connection;
    job->block = z->block;
    job->count = z->count;
    pthread_mutex_lock(&job->mutex);
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    bool started = pthread_create(&t, &attr, zip_job_thread, job) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        pthread_mutex_unlock(&job->mutex);
        job->block = nullptr;
        job->refs = 1;
        zip_job_release(job);
        return false;
    }
    z->block = nullptr;   // the job's now
    job->parked = httpd_park(ctx->connection) == 0;
    pthread_mutex_unlock(&job->mutex);
    if (job->parked) {
        z->job = job;
        ctx->deferred = 1;
        ctx->close = customzip_answer;
    } else {
        zip_job_release(job);   // the server stops: answered now, stored all the same
    }
    return true;
}

void customzip_end(PostContext *ctx)
{
    ZipPost *z = static_cast<ZipPost *>(ctx->upload);
    ctx->upload = nullptr;
    httpd_post_done(ctx);
    if (!z)
        return;
    if (ctx->aborted) {
        log_printf("customzip: upload cut off, nothing stored\n");
    } else if (z->oversize) {
        log_printf("customzip oversize, nothing stored\n");
    } else if (z->block && z->count > 4) {
        int32_t length = (int32_t)(z->count - 4);
        memcpy(z->block, &length, sizeof length);
        const char *why = nullptr;
        if (customzip_check(z->block + 4, z->count - 4) != 0)
            zip_refusal(ctx, CUSTOMZIP_REFUSED, nullptr);
        else if (!customzip_defer(ctx, z))
            zip_refusal(ctx, customzip_save(z->block, z->count, &why), why);
    }
    free(z->block);
    z->block = nullptr;
    if (z->job)
        ctx->upload = z;   // until the answer
    else
        free(z);
}

int customzip_chunk(PostContext *ctx, const char *data, size_t size)
{
    if (!guard_may_upload(ctx))
        return MHD_YES;
    ZipPost *z = static_cast<ZipPost *>(ctx->upload);
    log_printf("%s: index=%d size=%d\n", "post_customzip_func", z ? (int)z->count : 0, (int)size);
    if (!z) {
        if (!(z = static_cast<ZipPost *>(calloc(1, sizeof(ZipPost)))))
            return MHD_NO;
        ctx->upload = z;
        if (ctx->close && ctx->close != httpd_post_done)
            log_printf("%s: warning! post->close_func != post_processor_done\n", "post_customzip_func");
        ctx->close = customzip_end;
        z->count = 4;
    }
    if (z->oversize)
        return MHD_YES;
    if (z->count + size > CUSTOMZIP_BLOCK) {
        // A partial archive would replace the stored one with a broken one: keep nothing.
        log_printf("customzip oversize\n");
        z->oversize = true;
        return MHD_YES;
    }
    char *grown = static_cast<char *>(realloc(z->block, z->count + size));
    if (!grown)
        return MHD_NO;
    z->block = grown;
    memcpy(z->block + z->count, data, size);
    z->count += size;
    return MHD_YES;
}

} // namespace

int post_customzip_func(PostContext *ctx, const char *data, size_t size)
{
    return begin_admin_upload(ctx, data, customzip_chunk, CUSTOMZIP_BLOCK - 4, "customzip oversize\n");
}

// A new user's keys are gathered and the user is made when the form ends, so that the form's
// order cannot leave a half-made user behind (a name whose level is the empty slot's Admin).
struct NewUser {
    char name[64], perm[16], pass[64];
    bool has_name, has_perm, has_pass;
};

namespace {

enum { USER_SLOTS = 10, USER_FIELD_MAX = 19 };

// Refuses the form: the rest of it is not acted on, and the answer gives the reason.
int refuse_new_user(PostContext *ctx, const char *reason)
{
    log_printf("%s: user not created: %s\n", "post_create_user_func", reason);
    snprintf(ctx->refused, sizeof ctx->refused, "User not created: %s.", reason);
    ctx->stopped = 1;
    return MHD_NO;
}

bool name_in_use(const char *name)
{
    for (int n = 0; n < USER_SLOTS; n++) {
        char key[32], value[64];
        snprintf(key, sizeof key, "User[%d].Name", n);
        if (param_access_get(key, value, sizeof value) > 0 && strcmp(value, name) == 0)
            return true;
    }
    return false;
}

// Keeps one key's value; a value the user could never be made with refuses the form at once.
int keep_value(PostContext *ctx, char *out, size_t size, bool *has, const char *data, size_t length)
{
    if (*has)
        return refuse_new_user(ctx, "a field was given twice");
    if (memchr(data, 0, length))
        return refuse_new_user(ctx, "a field holds a NUL byte");
    if (length >= size)
        length = size - 1;   // longer than any field takes: the setter says so at the end
    memcpy(out, data, length);
    out[length] = 0;
    *has = true;
    return MHD_YES;
}

// One form key of a new user; the first key chooses the slot.
int post_create_user_func(PostContext *ctx, const char *field, const char *data, size_t size)
{
    if (ctx->stopped)
        return MHD_NO;
    if (ctx->level != WEB_LEVEL_ADMIN)
        return refuse_new_user(ctx, "only an Admin creates users");
    if (ctx->new_user_slot == 0) {
        char name[40], value[64];
        for (int n = 0; n < USER_SLOTS && ctx->new_user_slot == 0; n++) {
            snprintf(name, sizeof name, "User[%d].Name", n);
            if (param_access_get(name, value, sizeof value) >= 0 && value[0] == 0)
                ctx->new_user_slot = n + 1;
        }
        if (ctx->new_user_slot == 0) {
            ctx->new_user_slot = -1;
            return refuse_new_user(ctx, "every user slot is taken");
        }
        if (!(ctx->new_user = static_cast<NewUser *>(calloc(1, sizeof(NewUser)))))
            return refuse_new_user(ctx, "out of memory");
    }
    if (ctx->new_user_slot < 0 || !ctx->new_user)
        return MHD_NO;
    NewUser *u = ctx->new_user;
    if (strcmp(field, "Name") == 0) {
        if (keep_value(ctx, u->name, sizeof u->name, &u->has_name, data, size) != MHD_YES)
            return MHD_NO;
        if (!u->name[0])
            return refuse_new_user(ctx, "the name is empty");
        if (name_in_use(u->name))
            return refuse_new_user(ctx, "the name is already in use");
    } else if (strcmp(field, "Permission") == 0) {
        if (keep_value(ctx, u->perm, sizeof u->perm, &u->has_perm, data, size) != MHD_YES)
            return MHD_NO;
        char *end = nullptr;
        long level = strtol(u->perm, &end, 10);
        if (!u->perm[0] || *end || end == u->perm || level < WEB_LEVEL_VIEW || level > WEB_LEVEL_ADMIN)
            return refuse_new_user(ctx, "the permission is not a level from 1 to 5");
    } else {
        return keep_value(ctx, u->pass, sizeof u->pass, &u->has_pass, data, size);
    }
    return MHD_YES;
}

} // namespace

void upload_create_user_finish(PostContext *ctx)
{
    NewUser *u = ctx->new_user;
    if (!u || ctx->stopped || ctx->aborted || ctx->denied || ctx->new_user_slot <= 0)
        return;
    if (!u->has_name) {
        refuse_new_user(ctx, "no name was given");
        return;
    }
    if (!u->has_perm) {
        refuse_new_user(ctx, "no permission was given");
        return;
    }
    int n = ctx->new_user_slot - 1;
    // Another form may have ended meanwhile.
    char key[40], value[64];
    snprintf(key, sizeof key, "User[%d].Name", n);
    if (param_access_get(key, value, sizeof value) != 0 || name_in_use(u->name)) {
        refuse_new_user(ctx, "the name or its slot was taken meanwhile");
        return;
    }
    // The name last: until it is set the slot holds nobody.
    const struct {
        const char *field, *value;
    } steps[] = {{"Permission", u->perm}, {"Password", u->pass}, {"Name", u->name}};
    for (const auto &step : steps) {
        if (strcmp(step.field, "Password") == 0 && !u->has_pass)
            continue;
        snprintf(key, sizeof key, "User[%d].%s", n, step.field);
        if (const char *msg = param_access_set(key, step.value, strlen(step.value))) {
            log_printf("%s: %s\n", key, msg);
            char reason[80];
            snprintf(reason, sizeof reason, "%s: %s", strcmp(step.field, "Name") == 0 ? "name" :
                     strcmp(step.field, "Password") == 0 ? "password" : "permission", msg);
            refuse_new_user(ctx, reason);
            return;
        }
    }
    if (guard_access_log_add(32, ctx->user ? ctx->user : "", 5) != 0)
        log_printf("%s: log write failed\n", "post_create_user_func");
    // A change of who may use the device is never held back, whoever made it: on an open device
    // the first Admin is made by a guest whose lines a flood may have used up.
    LogOrigin was = log_origin_swap(LogOrigin{LOG_ORIGIN_SYSTEM, {}});
    log_printf("%s: user %s created in slot %d with level %s\n", "post_create_user_func", log_text(u->name).text, n,
               log_text(u->perm).text);
    log_origin_swap(was);
    // The first Admin of an open device: its maker is asked to log in as it.
    if (!ctx->user && atoi(u->perm) >= WEB_LEVEL_ADMIN) {
        free(ctx->redirect);
        ctx->redirect = strdup("/login.htm?redirect=/admin_users.htm");
    }
}

int post_create_user_name(PostContext *ctx, const char *data, size_t size)
{
    return data ? post_create_user_func(ctx, "Name", data, size) : httpd_post_form(ctx, data, size);
}

int post_create_user_perm(PostContext *ctx, const char *data, size_t size)
{
    return data ? post_create_user_func(ctx, "Permission", data, size) : httpd_post_form(ctx, data, size);
}

int post_create_user_pass(PostContext *ctx, const char *data, size_t size)
{
    return data ? post_create_user_func(ctx, "Password", data, size) : httpd_post_form(ctx, data, size);
}
