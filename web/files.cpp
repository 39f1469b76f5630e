// Recording files over the web: lists built on their own thread while the connection waits
// suspended, downloads and deletion.
#include "web/files.h"

#include "core/log.h"
#include "core/util.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "web/auth.h"
#include "web/guard.h"
#include "web/live.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const source_names[FILESYS_SOURCES] = {"mmc", "int", "ext"};

// Source index of a list or delete row by its ending; -1 for the plain "filelist".
int row_source(const char *name)
{
    if (has_suffix_ci(name, "_int"))
        return FILESYS_INT;
    if (has_suffix_ci(name, "_ext"))
        return FILESYS_EXT;
    if (has_suffix_ci(name, "_mmc"))
        return FILESYS_SD;
    return -1;
}

bool listed_extension(const char *name)
{
    const char *dot = strrchr(name, '.');
    if (!dot)
        return false;
    dot++;
    // Pictures, and every container the recorder names its files by.
    static const char *const listed[] = {"mp4", "ts", "jpg", "jpeg", "h264", "m4v", "mjpg", "flv"};
    for (const char *ext : listed)
        if (strcasecmp(dot, ext) == 0)
            return true;
    return false;
}

bool media_dir_name(const char *name)
{
    return strlen(name) == 8 && isdigit((unsigned char)name[0]) && isdigit((unsigned char)name[1]) &&
           isdigit((unsigned char)name[2]) && strcmp(name + 3, "MEDIA") == 0;
}

bool real_entry(const char *name)
{
    return strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Media folders or listed files of a folder ("" the source's own): real directories and
// regular files only, never a link, so that whatever is listed can be served and deleted.
std::vector<std::string> dir_files(int source, const std::string &sub, bool dirs)
{
    std::vector<std::string> out;
    int fd = filesys_open_folder(source, sub.c_str());
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0)
            close(fd);
        return out;
    }
    while (dirent *e = readdir(d)) {
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (dirs ? (type == DT_DIR && media_dir_name(e->d_name)) : (type == DT_REG && listed_extension(e->d_name)))
            out.emplace_back(e->d_name);
    }
    closedir(d);
    return out;
}

bool by_name_desc(const std::string &a, const std::string &b)
{
    return files_natural_compare(a.c_str(), b.c_str()) > 0;
}

void size_text(int64_t bytes, char *out, size_t size)
{
    if (bytes < 0)
        snprintf(out, size, "0 B");
    else if (bytes < 1000)
        snprintf(out, size, "%d B", (int)bytes);
    else if (bytes < 1000000)
        snprintf(out, size, "%.3g KB", bytes / 1000.0);
    else if (bytes < 1000000000)
        snprintf(out, size, "%.3g MB", bytes / 1000000.0);
    else
        snprintf(out, size, "%.3g GB", bytes / 1e9);
}

std::string escaped(const std::string &s)
{
    std::string out(s.size() * 6 + 1, '\0');
    out.resize(html_escape(s.c_str(), out.data(), out.size()));
    return out;
}

void navigation(DynBuf *out, int page, int pages, int detailed, int fast)
{
    if (detailed || fast) {
        dynbuf_printf(out, "<div style=\"text-align:center\"><a href=\"download.htm?p=1\">&larr; Back to Paginated "
                           "Mode</a></div>\n");
        return;
    }
    if (pages < 2)
        return;
    int group = (page - 1) / 10;
    int last = std::min(pages, group * 10 + 10);
    dynbuf_printf(out, "<div style=\"text-align:center\">\n");
    if (group > 0)
        dynbuf_printf(out, "<a href=\"download.htm?p=%d\">&lt;&lt;</a>\n", std::max(1, group * 10 - 9));
    for (int i = group * 10 + 1; i <= last; i++) {
        if (i == page)
            dynbuf_printf(out, "<span style=\"font-weight:bold\">%d</span>\n", i);
        else
            dynbuf_printf(out, "<a href=\"download.htm?p=%d\">%d</a>\n", i, i);
    }
    if (last < pages)
        dynbuf_printf(out, "<a href=\"download.htm?p=%d\">&gt;&gt;</a>\n", std::min(pages, group * 10 + 11));
    dynbuf_printf(out, "<div><a href=\"download.htm?p=all\">Detailed View (Max 500)</a> | "
                       "<a href=\"download.htm?p=all_fast\">Fast View (All Files, No Sizes)</a></div>\n");
    dynbuf_printf(out, "</div>\n");
}

// --- list jobs ------------------------------------------------------------------------------------

struct FileListJob {
    LiveWait wait;              // first: the registry hands it back by connection
    const UrlEntry *row;
    int page, detailed, fast;
    int level;                  // of the request: whether the list offers deletion
    DynBuf out;
    bool done;
};

pthread_mutex_t jobs_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t jobs_cond = PTHREAD_COND_INITIALIZER;
int jobs_running;
bool jobs_held;

void job_free(FileListJob *job)
{
    dynbuf_free(&job->out);
    free(job);
}

void job_release(LiveWait *w)
{
    job_free(reinterpret_cast<FileListJob *>(w));
}

// The list as a response; the text moves into it.
MHD_Response *job_response(FileListJob *job)
{
    DynBuf *b = &job->out;
    MHD_Response *r;
    if (b->data && b->owned) {
        r = MHD_create_response_from_buffer(b->length, b->data, MHD_RESPMEM_MUST_FREE);
        if (r)
            *b = {};
    } else {
        r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    }
    if (r) {
        http_no_cache(r);
        http_set_type(r, "text/html");
    }
    return r;
}

MHD_Response *job_build(LiveWait *w, unsigned *status)
{
    *status = MHD_HTTP_OK;
    return job_response(reinterpret_cast<FileListJob *>(w));
}

void *filelist_thread(void *arg)
{
    pthread_setname_np(pthread_self(), "filelist");   // not the name of the server thread that made it
    FileListJob *job = static_cast<FileListJob *>(arg);
    pthread_mutex_lock(&jobs_mutex);
    while (jobs_held)
        pthread_cond_wait(&jobs_cond, &jobs_mutex);
    pthread_mutex_unlock(&jobs_mutex);
    if (files_render_list(&job->out, job->row, job->page, job->detailed, job->fast, job->level) < 0)
        log_printf("%s: list incomplete\n", "filelist_thread");
    pthread_mutex_lock(&jobs_mutex);
    jobs_running--;
    pthread_mutex_unlock(&jobs_mutex);
    // Answered here when the connection waits; otherwise the handler answers in place. Either
    // way the job is no longer this thread's.
    live_wait_finish(&job->wait, &job->done, job_build);
    return nullptr;
}

// --- deletion -------------------------------------------------------------------------------------

enum { DELETE_NAME_MAX = FILESYS_ITEM_MAX };

struct DeleteState {
    int source;
    char key[32];
    char value[DELETE_NAME_MAX + 2];
    size_t length;
    bool active, overflow;
};

void delete_flush(DeleteState *d)
{
    if (!d->active)
        return;
    d->active = false;
    if (d->length == 0)
        return;
    d->value[d->length] = 0;
    if (d->overflow || strlen(d->value) != d->length || !filesys_item_valid(d->value)) {
        log_printf("Bad filename: %s\n", log_text_n(d->value, d->length).text);
        return;
    }
    filesys_delete(d->source, d->value);
}

MHD_Result delete_iterator(void *cls, MHD_ValueKind, const char *key, const char *, const char *, const char *,
                           const char *data, uint64_t off, size_t size)
{
    PostContext *ctx = static_cast<PostContext *>(cls);
    DeleteState *d = static_cast<DeleteState *>(ctx->upload);
    if (!key || strncmp(key, "delete_file", 11) != 0)
        return MHD_YES;
    if (off == 0 || !d->active || strncmp(d->key, key, sizeof d->key) != 0) {
        delete_flush(d);
        snprintf(d->key, sizeof d->key, "%s", key);
        d->length = 0;
        d->overflow = false;
        d->active = true;
    }
    if (d->length + size > DELETE_NAME_MAX) {
        size_t k = std::min(size, DELETE_NAME_MAX + 1 - d->length);
        memcpy(d->value + d->length, data, k);
        d->length += k;
        d->overflow = true;
    } else if (size) {
        memcpy(d->value + d->length, data, size);
        d->length += size;
    }
    return MHD_YES;
}

int delete_chunk(PostContext *ctx, const char *data, size_t size)
{
    return ctx->pp ? MHD_post_process(ctx->pp, data, size) : MHD_YES;
}

void delete_close(PostContext *ctx)
{
    DeleteState *d = static_cast<DeleteState *>(ctx->upload);
    if (ctx->pp) {
        MHD_destroy_post_processor(ctx->pp);   // hands over the last value
        ctx->pp = nullptr;
    }
    if (!d)
        return;
    if (!ctx->aborted)
        delete_flush(d);
    filesys_multi_finish(d->source);
    free(d);
    ctx->upload = nullptr;
}

} // namespace

int files_natural_compare(const char *a, const char *b)
{
    while (*a && *b) {
        if (isdigit((unsigned char)*a) && isdigit((unsigned char)*b)) {
            const char *sa = a, *sb = b;
            while (*sa == '0')
                sa++;
            while (*sb == '0')
                sb++;
            const char *ea = sa, *eb = sb;
            while (isdigit((unsigned char)*ea))
                ea++;
            while (isdigit((unsigned char)*eb))
                eb++;
            size_t la = (size_t)(ea - sa), lb = (size_t)(eb - sb);
            if (la != lb)
                return la < lb ? -1 : 1;
            int c = strncmp(sa, sb, la);
            if (c)
                return c < 0 ? -1 : 1;
            a = ea;
            b = eb;
            continue;
        }
        if (*a != *b)
            return (unsigned char)*a < (unsigned char)*b ? -1 : 1;
        a++;
        b++;
    }
    return *a ? 1 : *b ? -1 : 0;
}

size_t files_url_encode(const char *in, char *out, size_t size)
{
    static const char hex[] = "0123456789ABCDEF";
    size_t n = 0;
    if (!size)
        return 0;
    for (; *in; in++) {
        unsigned char c = (unsigned char)*in;
        bool plain = isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
        size_t need = plain ? 1 : 3;
        if (n + need >= size)
            break;
        if (plain) {
            out[n++] = (char)c;
        } else {
            out[n++] = '%';
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 15];
        }
    }
    out[n] = 0;
    return n;
}

bool files_is_list_row(const UrlEntry *row)
{
    return row && strncmp(row->name, "filelist", 8) == 0;
}

void files_list_options(HttpRequest *req)
{
    req->page = 1;
    req->detailed = 0;
    req->fast = 0;
    const char *p = MHD_lookup_connection_value(req->connection, MHD_GET_ARGUMENT_KIND, "p");
    if (!p)
        return;
    if (strcmp(p, "all") == 0) {
        req->detailed = 1;
    } else if (strcmp(p, "all_fast") == 0) {
        req->fast = 1;
    } else {
        char *end;
        long v = strtol(p, &end, 10);
        if (end != p && *end == 0 && v > 0 && v <= 1000000)
            req->page = (int)v;
    }
}

// Only a level the source's delete row takes gets the ticks and the button: below it the
// post would end in a login prompt and delete nothing.
static bool may_delete(int source, int level)
{
    char name[32];
    snprintf(name, sizeof name, "delete_files_%s", source_names[source]);
    const UrlEntry *row = url_lookup(name);
    return row && row->post_handler && (!row->post_level || auth_write_allowed(level, row->post_level));
}

int files_render_list(DynBuf *out, const UrlEntry *row, int page, int detailed, int fast, int level)
{
    int source = row ? row_source(row->name) : -1;
    if (source < 0)
        return 0;
    char *dir = filesys_is_mounted(source) ? filesys_getdir(source) : nullptr;
    if (!dir)
        return dynbuf_printf(out, "<p>No storage device.</p>\n");

    std::vector<std::string> items;
    std::vector<std::string> subdirs = dir_files(source, "", true);
    std::sort(subdirs.begin(), subdirs.end(), [](const std::string &a, const std::string &b) { return a > b; });
    for (const std::string &sub : subdirs) {
        std::vector<std::string> files = dir_files(source, sub, false);
        std::sort(files.begin(), files.end(), by_name_desc);
        for (const std::string &f : files)
            items.push_back(sub + "/" + f);
    }
    std::vector<std::string> top = dir_files(source, "", false);
    std::sort(top.begin(), top.end(), by_name_desc);
    items.insert(items.end(), top.begin(), top.end());

    size_t count = items.size(), first = 0, end = count;
    int pages = (int)((count + 49) / 50);
    if (fast) {
    } else if (detailed) {
        end = std::min<size_t>(count, 500);
    } else {
        page = std::max(1, std::min(page, std::max(pages, 1)));
        first = (size_t)(page - 1) * 50;
        end = std::min(count, (size_t)page * 50);
    }
    int r = 0;
    if (count == 0) {
        r = dynbuf_printf(out, "<p>No files to display.</p>\n");
    } else {
        bool del = may_delete(source, level);
        if (del)
            r = dynbuf_printf(out,
                              "<form method='POST' action='delete_files_%s' onsubmit=\"return confirm('Are you sure you "
                              "want to permanently delete the selected files?');\"><table>\n",
                              source_names[source]);
        else
            r = dynbuf_printf(out, "<table>\n");
        char link[4096], size[32];
        for (size_t i = first; i < end && r == 0; i++) {
            const std::string &item = items[i];
            if (!real_entry(item.c_str()))
                continue;
            if (fast) {
                snprintf(size, sizeof size, "---");
            } else {
                std::string path = std::string(dir) + "/" + item;
                size_text(file_size(path.c_str()), size, sizeof size);
            }
            files_url_encode(item.c_str(), link, sizeof link);
            std::string html = escaped(item);
            if (del)
                r = dynbuf_printf(out, "<tr>\n <td><input type=\"checkbox\" name=\"delete_file\" value=\"%s\"/></td>\n",
                                  html.c_str());
            else
                r = dynbuf_printf(out, "<tr>\n");
            if (r == 0)
                r = dynbuf_printf(out,
                                  " <td><a href=\"/download?s=%d&f=%s\" download=\"%s\">%s</a></td><td "
                                  "style=\"text-align:right\">%s</td>\n</tr>\n",
                                  source, link, html.c_str(), html.c_str(), size);
        }
        if (r == 0 && del)
            r = dynbuf_printf(out, "<tr><td colspan=3><input type='submit' value='Delete selected files'></td></tr>\n"
                                   "</table></form>\n");
        else if (r == 0)
            r = dynbuf_printf(out, "</table>\n");
    }
    if (r == 0)
        navigation(out, page, pages, detailed, fast);
    free(dir);
    return r;
}

int files_list_func(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_view_refused(req, &refused))
        return refused;
    if (row_source(req->entry->name) < 0)
        return http_text(req->connection, MHD_HTTP_OK, "text/html", "", 0);
    pthread_mutex_lock(&jobs_mutex);
    bool room = jobs_running < FILES_JOBS_MAX;
    if (room)
        jobs_running++;
    pthread_mutex_unlock(&jobs_mutex);
    if (!room) {
        static const char body[] = "Too many file lists at once\n";
        log_printf("%s: %d lists already running\n", "files_list_func", FILES_JOBS_MAX);
        return http_text(req->connection, MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain", body, sizeof body - 1);
    }
    FileListJob *job = static_cast<FileListJob *>(calloc(1, sizeof(FileListJob)));
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    files_list_options(req);
    if (job) {
        job->wait.connection = req->connection;
        job->wait.kind = LIVE_WAIT_FILELIST;
        job->wait.release = job_release;
        job->row = req->entry;
        job->page = req->page;
        job->detailed = req->detailed;
        job->fast = req->fast;
        job->level = req->level;
    }
    if (!job || pthread_create(&t, &attr, filelist_thread, job) != 0) {
        log_printf("%s: failed to start filelist_thread\n", "files_list_func");
        pthread_attr_destroy(&attr);
        free(job);
        pthread_mutex_lock(&jobs_mutex);
        jobs_running--;
        pthread_mutex_unlock(&jobs_mutex);
        return HTTP_NO_RESPONSE;
    }
    pthread_attr_destroy(&attr);
    int parked = live_wait_park_unless(&job->wait, 0, &job->done);
    if (parked > 0)
        return MHD_YES;
    if (parked < 0) {
        // The server stops: the job is freed here once the thread has let go of it.
        live_wait_until_done(&job->done);
        job_free(job);
        return MHD_NO;
    }
    // Done before the connection could be suspended: answered in place.
    MHD_Response *r = job_response(job);
    job_free(job);
    return r ? http_queue(req->connection, MHD_HTTP_OK, r) : MHD_NO;
}

int files_jobs_running()
{
    pthread_mutex_lock(&jobs_mutex);
    int n = jobs_running;
    pthread_mutex_unlock(&jobs_mutex);
    return n;
}

void files_hold_lists(bool hold)
{
    pthread_mutex_lock(&jobs_mutex);
    jobs_held = hold;
    pthread_cond_broadcast(&jobs_cond);
    pthread_mutex_unlock(&jobs_mutex);
}

int files_download_func(HttpRequest *req)
{
    MHD_Result refused;
    if (guard_view_refused(req, &refused))
        return refused;
    const char *s = MHD_lookup_connection_value(req->connection, MHD_GET_ARGUMENT_KIND, "s");
    const char *f = MHD_lookup_connection_value(req->connection, MHD_GET_ARGUMENT_KIND, "f");
    if (!s || !f)
        return HTTP_NO_RESPONSE;
    if (strcmp(s, "0") != 0 && strcmp(s, "1") != 0 && strcmp(s, "2") != 0) {
        log_printf("Bad source: %s\n", log_text(s).text);
        return HTTP_NO_RESPONSE;
    }
    // Any item the list shows ("..mp4", long names) is served; "." and ".." parts never are.
    if (!filesys_item_valid(f)) {
        log_printf("Bad filename: %s\n", log_text(f).text);
        return HTTP_NO_RESPONSE;
    }
    int source = s[0] - '0';
    char *dir = filesys_is_mounted(source) ? filesys_getdir(source) : nullptr;
    if (!dir) {
        log_printf("Filesys not mounted: %d\n", source);
        return HTTP_NO_RESPONSE;
    }
    std::string path = std::string(dir) + "/" + f;
    free(dir);
    int fd = filesys_open_item(source, f);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        // A link anywhere on the way, a folder or a device is no recording.
        log_printf("%s: %s\n", log_text(path.c_str()).text, errno == EINVAL || errno == ELOOP || errno == ENOTDIR ? "not a file" : strerror(errno));
        if (fd >= 0)
            close(fd);
        return HTTP_NO_RESPONSE;
    }
    MHD_Response *r = MHD_create_response_from_fd((uint64_t)st.st_size, fd);
    if (!r) {
        close(fd);
        return MHD_NO;
    }
    const char *type = get_mime_type(f);
    if (type)
        http_set_type(r, type);
    http_no_cache(r);
    // The name as a quoted string: quotes and backslashes escaped, control bytes left out.
    const char *base = strrchr(f, '/');
    base = base ? base + 1 : f;
    std::string disp = "attachment;filename=\"";
    for (const char *p = base; *p; p++) {
        if ((unsigned char)*p < 0x20 || *p == 0x7f)
            continue;
        if (*p == '"' || *p == '\\')
            disp += '\\';
        disp += *p;
    }
    disp += '"';
    http_add_header(r, "Content-Disposition", disp.c_str());
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

int post_delete_files_func(PostContext *ctx, const char *data, size_t)
{
    if (data || ctx->pp)
        return MHD_YES;
    DeleteState *d = static_cast<DeleteState *>(calloc(1, sizeof(DeleteState)));
    if (!d)
        return MHD_NO;
    const char *arg = ctx->entry && ctx->entry->arg ? ctx->entry->arg : "";
    d->source = strcmp(arg, "int") == 0 ? FILESYS_INT : strcmp(arg, "ext") == 0 ? FILESYS_EXT : FILESYS_SD;
    ctx->upload = d;
    ctx->pp = MHD_create_post_processor(ctx->connection, 1024, delete_iterator, ctx);
    if (!ctx->pp) {
        log_printf("%s: Failed to create post processor\n", "post_delete_files_func");
        free(d);
        ctx->upload = nullptr;
        return MHD_NO;   // refused: nothing was read, so no redirect may pretend otherwise
    }
    filesys_multi_start(d->source, 0);
    ctx->chunk = delete_chunk;
    ctx->close = delete_close;
    return MHD_YES;
}
