// Pages: the template renderer, the generated fragments, the file server and the pages the
// program builds itself.
#include "web/pages.h"

#include "core/log.h"
#include "core/param.h"
#include "core/param_commit.h"
#include "core/param_table.h"
#include "core/util.h"
#include "platform/platform.h"
#include "storage/filesys.h"
#include "streams/stream_mode.h"
#include "web/auth.h"
#include "web/files.h"
#include "web/guard.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char pages_unauthorized_text[] =
    "<include src='header.htm' title='Unauthorized'>\n<h1>Unauthorized</h1>\n"
    "<p>You do not have permission to access this page.</p>\n"
    "<p>Please use the menu to select another page, or <a href='logout.htm?redirect=login.htm'>log in</a> as "
    "another user.</p>\n<include src='footer.htm'>\n";

namespace {

enum {
    FIELD_MAX = 255,                // key and value of one field together
    TEMPLATE_FILE_MAX = 4 << 20,    // a page file larger than this is refused
};

// Results inside the renderer.
enum RenderResult {
    RENDER_OK = 0,
    RENDER_ERROR = -1,      // this text or file failed; an include logs it and goes on
    RENDER_REDIRECT = -2,   // the whole page fails and sends the browser to req->redirect
    RENDER_REPLACED = 1,    // the output became the Unauthorized page: drop the rest
};

PagesLimitsFn limits_fn = param_limits;

struct Render {
    DynBuf *out;
    std::string select_value;   // value of the current select's parameter
    bool select_has;
    size_t select_start;        // where the current select's options begin in the output
    bool unauthorized;          // the Unauthorized text is being rendered
    int depth;
};

int render_text(Render *r, const char *text, size_t len, const char *title);

struct Generator {
    const char *row;
    void (*fn)(DynBuf *out);
};
const Generator *fragment(const char *name);

int request_level(const DynBuf *out)
{
    return out->req ? out->req->level : WEB_LEVEL_NONE;
}

const char *header_value(const HttpRequest *req, const char *name)
{
    if (!req || !req->connection)
        return nullptr;
    return MHD_lookup_connection_value(req->connection, MHD_HEADER_KIND, name);
}

const char *query_value(const HttpRequest *req, const char *name)
{
    if (!req || !req->connection)
        return nullptr;
    return MHD_lookup_connection_value(req->connection, MHD_GET_ARGUMENT_KIND, name);
}

void put(DynBuf *b, const char *text, size_t len)
{
    if (len)
        dynbuf_append(b, text, len);
}

void put(DynBuf *b, const char *text)
{
    if (text)
        put(b, text, strlen(text));
}

void put_escaped(DynBuf *b, const char *text, size_t len)
{
    size_t from = 0;
    for (size_t i = 0; i < len; i++) {
        const char *rep = nullptr;
        switch (text[i]) {
        case '"': rep = "&quot;"; break;
        case '&': rep = "&amp;"; break;
        case '\'': rep = "&#39;"; break;
        case '<': rep = "&lt;"; break;
        case '>': rep = "&gt;"; break;
        default: continue;
        }
        put(b, text + from, i - from);
        put(b, rep);
        from = i + 1;
    }
    put(b, text + from, len - from);
}

void put_escaped(DynBuf *b, const char *text)
{
    if (text)
        put_escaped(b, text, strlen(text));
}

// A setting's value as the page may show it: only a parameter the request's level may read.
bool field_value(const DynBuf *out, const std::string &key, std::string *value)
{
    char buf[FIELD_MAX + 1];
    if (key.empty() || key.size() >= FIELD_MAX)
        return false;
    if (param_access_read_allowed(key.c_str(), request_level(out)) <= 0)
        return false;
    int n = param_access_get(key.c_str(), buf, FIELD_MAX + 1 - key.size());
    if (n < 0)
        return false;
    buf[FIELD_MAX - key.size()] = 0;
    *value = buf;
    return true;
}

// Limits only from rows that have a range; elsewhere a browser would refuse every value.
bool field_limits(const std::string &key, int32_t *min, int32_t *max, int32_t *step)
{
    *min = *max = 0;
    *step = 1;
    limits_fn(key.c_str(), min, max, step);
    if (*step < 1)
        *step = 1;
    return *max > *min;
}

// --- the tag scanner ----------------------------------------------------------------------------

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

size_t skip_blanks(const char *t, size_t len, size_t p)
{
    while (p < len && is_blank(t[p]))
        p++;
    return p;
}

// The word at p (without case), ended by white space, '>', '/' or '='; returns the end or 0.
size_t match_word(const char *t, size_t len, size_t p, const char *word)
{
    size_t n = strlen(word);
    if (len - p < n || strncasecmp(t + p, word, n) != 0)
        return 0;
    size_t e = p + n;
    if (e < len && !is_blank(t[e]) && t[e] != '>' && t[e] != '/' && t[e] != '=')
        return 0;
    return e;
}

struct Attr {
    bool found;
    bool has_value;
    size_t start, end;      // whole attribute with the white space before it
    size_t vstart, vend;    // the value inside its quotes
    char quote;             // 0 unquoted
    std::string value;      // backslash-escaped quotes resolved
};

// Attributes in a fixed order, each optional: one out of order, or after an unknown one, is
// not matched and stays in the text as it is. Returns where matching stopped.
size_t parse_attrs(const char *t, size_t len, size_t p, const char *const *names, int count, Attr *attrs)
{
    for (int i = 0; i < count; i++) {
        Attr &a = attrs[i];
        a = {};
        size_t q = skip_blanks(t, len, p);
        size_t e = q < len ? match_word(t, len, q, names[i]) : 0;
        if (!e)
            continue;
        a.found = true;
        a.start = p;
        size_t v = skip_blanks(t, len, e);
        if (v < len && t[v] == '=') {
            v = skip_blanks(t, len, v + 1);
            a.has_value = true;
            if (v < len && (t[v] == '\'' || t[v] == '"')) {
                a.quote = t[v];
                size_t k = a.vstart = v + 1;
                while (k < len && t[k] != a.quote) {
                    if (t[k] == '\\' && k + 1 < len && t[k + 1] == a.quote) {
                        a.value += a.quote;
                        k += 2;
                        continue;
                    }
                    a.value += t[k++];
                }
                a.vend = k;
                e = k < len ? k + 1 : len;
            } else {
                // Unquoted: up to white space or the end of the tag.
                size_t k = a.vstart = v;
                while (k < len && !is_blank(t[k]) && t[k] != '>')
                    k++;
                a.vend = k;
                a.value.assign(t + v, k - v);
                e = k;
            }
        }
        a.end = e;
        p = e;
    }
    return p;
}

size_t tag_end(const char *t, size_t len, size_t p)
{
    const char *gt = static_cast<const char *>(memchr(t + p, '>', len - p));
    return gt ? (size_t)(gt - t) + 1 : len;
}

void put_span(DynBuf *b, const char *t, size_t from, size_t to)
{
    if (to > from)
        put(b, t + from, to - from);
}

std::string field_key(const DynBuf *out, const std::string &name)
{
    const char *n = name.c_str();
    if (*n == '/')
        n++;
    return std::string(out->prefix ? out->prefix : "") + n;
}

// <input type name value checked min max step>
size_t tag_input(Render *r, const char *t, size_t len, size_t word_end)
{
    static const char *const names[] = {"type", "name", "value", "checked", "min", "max", "step"};
    enum { TYPE, NAME, VALUE, CHECKED, MIN, MAX, STEP, COUNT };
    Attr a[COUNT];
    size_t end = parse_attrs(t, len, word_end, names, COUNT, a);
    DynBuf *out = r->out;
    const std::string &type = a[TYPE].value;
    bool checkbox = strcasecmp(type.c_str(), "checkbox") == 0;
    bool ranged = strcasecmp(type.c_str(), "number") == 0 || strcasecmp(type.c_str(), "range") == 0;
    std::string key, value;
    bool is_param = false;
    if (a[NAME].found && a[NAME].has_value) {
        key = field_key(out, a[NAME].value);
        is_param = field_value(out, key, &value);
    }
    int32_t lim[3] = {0, 0, 1};
    bool has_range = is_param && ranged && field_limits(key, &lim[0], &lim[1], &lim[2]);
    put_span(out, t, 0, word_end);
    for (int i = 0; i < COUNT; i++) {
        const Attr &x = a[i];
        if (!x.found)
            continue;
        if (i == VALUE && is_param && !checkbox) {
            if (x.quote) {
                put_span(out, t, x.start, x.vstart);
                put_escaped(out, value.c_str());
                put_span(out, t, x.vend, x.end);
            } else {
                put_span(out, t, x.start, skip_blanks(t, len, x.start));
                put(out, "value=\"");
                put_escaped(out, value.c_str());
                put(out, "\"");
            }
        } else if (i == CHECKED && is_param && checkbox) {
            // dropped: written again below when the setting says so
        } else if (i >= MIN && has_range) {
            put_span(out, t, x.start, skip_blanks(t, len, x.start));
            dynbuf_printf(out, "%s=\"%d\"", names[i], (int)lim[i - MIN]);
        } else {
            put_span(out, t, x.start, x.end);
        }
    }
    if (checkbox && is_param && a[VALUE].found && a[VALUE].value == value)
        put(out, " checked");
    if (has_range) {
        if (!a[MIN].found)
            dynbuf_printf(out, " min=\"%d\"", (int)lim[0]);
        if (!a[MAX].found)
            dynbuf_printf(out, " max=\"%d\"", (int)lim[1]);
        if (!a[STEP].found && lim[2] != 1)
            dynbuf_printf(out, " step=\"%d\"", (int)lim[2]);
    }
    return end;
}

// <select id name>: its key's value selects among the options that follow.
size_t tag_select(Render *r, const char *t, size_t len, size_t word_end)
{
    static const char *const names[] = {"id", "name"};
    Attr a[2];
    size_t end = parse_attrs(t, len, word_end, names, 2, a);
    r->select_has = false;
    r->select_value.clear();
    if (a[1].found && a[1].has_value)
        r->select_has = field_value(r->out, field_key(r->out, a[1].value), &r->select_value);
    else
        log_printf("%s: select tag without name property\n", "render_template");
    put_span(r->out, t, 0, end);
    r->select_start = r->out->length;
    return end;
}

// Whether an option written since the select began, by the page or by a generated list, is
// selected.
bool select_chose(const Render *r)
{
    const DynBuf *out = r->out;
    if (!out->data || r->select_start > out->length)
        return false;
    std::string opts(out->data + r->select_start, out->length - r->select_start);
    for (size_t p = 0; (p = opts.find("<option", p)) != std::string::npos; p++) {
        size_t close = opts.find('>', p);
        std::string tag = opts.substr(p, close == std::string::npos ? std::string::npos : close - p);
        for (size_t q = 0; (q = tag.find("selected", q)) != std::string::npos; q++)
            if (q > 0 && strchr(" \t\r\n", tag[q - 1]))
                return true;
    }
    return false;
}

// </select>: a stored value none of the options offers gets an option of its own, chosen, so
// that a form applied untouched posts back what it found.
void select_close(Render *r)
{
    if (r->select_has && !select_chose(r)) {
        put(r->out, "<option value=\"");
        put_escaped(r->out, r->select_value.c_str());
        put(r->out, "\" selected>");
        put_escaped(r->out, r->select_value.c_str());
        put(r->out, " (as stored)</option>");
    }
    r->select_has = false;
}

// <option value selected>
size_t tag_option(Render *r, const char *t, size_t len, size_t word_end)
{
    static const char *const names[] = {"value", "selected"};
    Attr a[2];
    size_t end = parse_attrs(t, len, word_end, names, 2, a);
    put_span(r->out, t, 0, word_end);
    if (a[0].found)
        put_span(r->out, t, a[0].start, a[0].end);
    if (r->select_has && a[0].found && a[0].value == r->select_value)
        put(r->out, " selected ");
    return end;
}

// <form name method action>: a settings form's key prefix holds until </form>.
size_t tag_form(Render *r, const char *t, size_t len, size_t word_end)
{
    static const char *const names[] = {"name", "method", "action"};
    Attr a[3];
    size_t end = parse_attrs(t, len, word_end, names, 3, a);
    r->out->prefix = nullptr;
    if (a[2].found) {
        const char *action = a[2].value.c_str();
        if (*action == '/')
            action++;
        const UrlEntry *row = url_lookup(action);
        if (url_is_settings_form(row))
            r->out->prefix = row->arg;
    }
    put_span(r->out, t, 0, end);
    return end;
}

bool safe_page_name(const char *name)
{
    return *name && !strstr(name, "..") && strlen(name) < 256;
}

int render_file(Render *r, const char *name, const char *title);

int include_row(Render *r, const UrlEntry *row)
{
    DynBuf *out = r->out;
    if (row->get_handler == render_page) {
        if (!row->arg)
            return RENDER_OK;
        const char *saved = out->prefix;
        out->prefix = nullptr;
        r->depth++;
        int rc = render_text(r, row->arg, strlen(row->arg), nullptr);
        r->depth--;
        out->prefix = saved;
        return rc;
    }
    if (row->get_handler == generator_page)
        return pages_generate(out, row->name) == 0 ? RENDER_OK : RENDER_ERROR;
    if (files_is_list_row(row)) {
        if (out->req)
            files_list_options(out->req);
        int page = out->req ? out->req->page : 1, detailed = out->req ? out->req->detailed : 0;
        int fast = out->req ? out->req->fast : 0;
        return files_render_list(out, row, page, detailed, fast, request_level(out)) == 0 ? RENDER_OK : RENDER_ERROR;
    }
    if (!row->get_handler) {
        put_escaped(out, row->arg);
        return RENDER_OK;
    }
    // Any other handler answers the connection itself: a page can't hold its answer.
    return RENDER_ERROR;
}

// <include src title>: a row, a setting's value, or a page file.
size_t tag_include(Render *r, const char *t, size_t len, size_t word_end, int *result)
{
    static const char *const names[] = {"src", "title"};
    Attr a[2];
    size_t end = tag_end(t, len, parse_attrs(t, len, word_end, names, 2, a));
    *result = RENDER_OK;
    if (!a[0].found || a[0].value.empty())
        return end;
    const char *src = a[0].value.c_str();
    std::string value;
    int rc;
    if (const UrlEntry *row = url_lookup(src)) {
        rc = include_row(r, row);
    } else if (const Generator *g = fragment(src)) {
        g->fn(r->out);
        rc = RENDER_OK;
    } else if (field_value(r->out, src, &value)) {
        put_escaped(r->out, value.c_str());
        rc = RENDER_OK;
    } else {
        // A file included inside a form fills its fields under that form's prefix (one body
        // serves both channels); its own forms end with it.
        const char *saved = r->out->prefix;
        rc = render_file(r, *src == '/' ? src + 1 : src, a[1].found ? a[1].value.c_str() : nullptr);
        r->out->prefix = saved;
    }
    if (rc == RENDER_ERROR)
        log_printf("failed to include resource %s\n", src);
    else
        *result = rc;
    return end;
}

// <require permission>: a user below the level sees the Unauthorized page instead.
size_t tag_require(Render *r, const char *t, size_t len, size_t word_end, int *result)
{
    static const char *const names[] = {"permission"};
    Attr a[1];
    size_t end = tag_end(t, len, parse_attrs(t, len, word_end, names, 1, a));
    *result = RENDER_OK;
    // A level name that names no level (a typo in a page) guards like Admin, not like None.
    int needed = -1;
    for (int l = WEB_LEVEL_NONE; l <= WEB_LEVEL_DEMO && needed < 0; l++)
        if (strcasecmp(permission_name(l), a[0].value.c_str()) == 0)
            needed = l;
    if (needed < 0) {
        log_printf("%s: unknown permission %s, Admin required\n", "render_template", a[0].value.c_str());
        needed = WEB_LEVEL_ADMIN;
    }
    if (request_level(r->out) >= needed)
        return end;
    HttpRequest *req = r->out->req;
    const char *referer = header_value(req, "Referer");
    if (referer && has_suffix_ci(referer, "/logout.htm")) {
        if (req)
            req->redirect = "/index.htm";
        *result = RENDER_REDIRECT;
        return end;
    }
    if (r->unauthorized) {
        // The Unauthorized page itself asks for more: its include fails instead of looping.
        *result = RENDER_ERROR;
        return end;
    }
    DynBuf *out = r->out;
    out->length = 0;
    if (out->data)
        out->data[0] = 0;
    out->prefix = nullptr;
    r->unauthorized = true;
    r->select_has = false;
    const UrlEntry *row = url_lookup("unauthorized.htm");
    const char *text = row && row->arg ? row->arg : pages_unauthorized_text;
    r->depth++;
    render_text(r, text, strlen(text), nullptr);
    r->depth--;
    *result = RENDER_REPLACED;
    return end;
}

int render_text(Render *r, const char *t, size_t len, const char *title)
{
    if (r->depth > PAGES_INCLUDE_DEPTH) {
        log_printf("%s: includes nested deeper than %d\n", "render_template", PAGES_INCLUDE_DEPTH);
        return RENDER_ERROR;
    }
    DynBuf *out = r->out;
    size_t copied = 0, i = 0;
    size_t title_start = (size_t)-1;
    while (i < len) {
        const char *lt = static_cast<const char *>(memchr(t + i, '<', len - i));
        if (!lt)
            break;
        size_t tag = (size_t)(lt - t);
        size_t p = skip_blanks(t, len, tag + 1);
        size_t e;
        int result = RENDER_OK;
        size_t next;
        // Each tag handler gets the text from the tag's "<" on, so spans are relative to it.
        const char *at = t + tag;
        size_t rest = len - tag, w;
        if ((e = match_word(t, len, p, "/title")) && skip_blanks(t, len, e) < len && t[skip_blanks(t, len, e)] == '>') {
            put_span(out, t, copied, tag);
            next = skip_blanks(t, len, e) + 1;
            if (title && title_start != (size_t)-1 && title_start <= out->length) {
                out->length = title_start;
                if (out->data)
                    out->data[out->length] = 0;
                char host[64] = "";
                param_access_get("NetworkHostname", host, sizeof host);
                put_escaped(out, host);
                put(out, " - ");
                put_escaped(out, title);
            }
            title_start = (size_t)-1;
            put_span(out, t, tag, next);
        } else if ((e = match_word(t, len, p, "/select"))) {
            put_span(out, t, copied, tag);
            select_close(r);
            next = e;
            put_span(out, t, tag, next);
        } else if ((e = match_word(t, len, p, "/form"))) {
            put_span(out, t, copied, tag);
            out->prefix = nullptr;
            next = e;
            put_span(out, t, tag, next);
        } else if ((e = match_word(t, len, p, "title"))) {
            put_span(out, t, copied, tag);
            next = tag_end(t, len, e);
            put_span(out, t, tag, next);
            title_start = out->length;
        } else if ((e = match_word(t, len, p, "form"))) {
            put_span(out, t, copied, tag);
            w = e - tag;
            next = tag + tag_form(r, at, rest, w);
        } else if ((e = match_word(t, len, p, "input"))) {
            put_span(out, t, copied, tag);
            next = tag + tag_input(r, at, rest, e - tag);
        } else if ((e = match_word(t, len, p, "select"))) {
            put_span(out, t, copied, tag);
            next = tag + tag_select(r, at, rest, e - tag);
        } else if ((e = match_word(t, len, p, "option"))) {
            put_span(out, t, copied, tag);
            next = tag + tag_option(r, at, rest, e - tag);
        } else if ((e = match_word(t, len, p, "include"))) {
            put_span(out, t, copied, tag);
            next = tag + tag_include(r, at, rest, e - tag, &result);
        } else if ((e = match_word(t, len, p, "require"))) {
            put_span(out, t, copied, tag);
            next = tag + tag_require(r, at, rest, e - tag, &result);
        } else {
            i = tag + 1;
            continue;
        }
        if (result != RENDER_OK)
            return result;
        copied = i = next;
    }
    put_span(out, t, copied, len);
    return RENDER_OK;
}

int render_file(Render *r, const char *name, const char *title)
{
    if (!safe_page_name(name))
        return RENDER_ERROR;
    std::string rel = std::string(PAGES_WEB_ROOT "/") + name;
    char path[512];
    platform_path(rel.c_str(), path, sizeof path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        log_printf("%s [%s]\n", strerror(errno), log_text(path).text);
        return RENDER_ERROR;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > TEMPLATE_FILE_MAX) {
        log_printf("%s: not a page file [%s]\n", "render_template", log_text(path).text);
        close(fd);
        return RENDER_ERROR;
    }
    size_t size = (size_t)st.st_size;
    char *text = static_cast<char *>(malloc(size + 1));
    if (!text) {
        log_printf("out of memory\n");
        close(fd);
        return RENDER_ERROR;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t n = read(fd, text + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    int err = errno;
    close(fd);
    if (got < size) {
        log_printf("%s: %s\n", "read", strerror(err));
        free(text);
        return RENDER_ERROR;
    }
    r->depth++;
    int rc = render_text(r, text, size, title);
    r->depth--;
    free(text);
    return rc;
}

int render_result(int rc)
{
    return rc == RENDER_OK || rc == RENDER_REPLACED ? 0 : -1;
}

// --- answers ----------------------------------------------------------------------------------

int answer_buf(HttpRequest *req, DynBuf *b)
{
    MHD_Response *resp;
    if (b->data && b->owned)
        resp = MHD_create_response_from_buffer(b->length, b->data, MHD_RESPMEM_MUST_FREE);
    else
        resp = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
    if (!resp) {
        dynbuf_free(b);
        return MHD_NO;
    }
    http_no_cache(resp);
    http_set_type(resp, b->content_type ? b->content_type : "text/html");
    return http_queue(req->connection, MHD_HTTP_OK, resp);
}

// A rendered page: 200, or 303 where the renderer sent the browser, or no response.
int answer_render(HttpRequest *req, DynBuf *b, int rc)
{
    if (rc == 0)
        return answer_buf(req, b);
    dynbuf_free(b);
    if (req->redirect)
        return http_redirect(req->connection, req->redirect);
    return HTTP_NO_RESPONSE;
}

// --- generators -------------------------------------------------------------------------------

struct Option {
    const char *value, *label;
};

// The current value of prefix + name, as the option lists compare it.
bool current_value(DynBuf *out, const char *name, char *value, size_t size)
{
    std::string key = std::string(out->prefix ? out->prefix : "") + name;
    if (param_access_get(key.c_str(), value, size) < 0) {
        log_printf("Failed to get param %s%s\n", out->prefix ? out->prefix : "", name);
        value[0] = 0;
        return false;
    }
    return true;
}

void option_list(DynBuf *out, const char *name, const Option *options, int count)
{
    char value[10];
    bool have = current_value(out, name, value, sizeof value);
    for (int i = 0; i < count; i++) {
        dynbuf_printf(out, "<option value=\"%s\"%s>%s</option>\n  ", options[i].value,
                      have && strcmp(value, options[i].value) == 0 ? " selected" : "", options[i].label);
    }
}

void gen_capture_input(DynBuf *out)
{
    static const Option o[] = {{"0", "DVI-D"}, {"1", "Composite"}, {"2", "S-Video"}, {"3", "Component"}, {"4", "VGA"}};
    option_list(out, "Input", o, 5);
}

void gen_display_output(DynBuf *out)
{
    static const Option o[] = {{"0", "Composite"}, {"2", "DVI"}};
    option_list(out, "Output", o, 2);
}

void gen_audio_input(DynBuf *out)
{
    static const Option o[] = {{"2", "Digital"}, {"1", "Line"}, {"0", "Mic"}};
    option_list(out, "Audio.Input", o, 3);
}

void gen_frame_rate(DynBuf *out)
{
    static const Option ntsc[] = {{"30", "30"}, {"15", "15"}, {"10", "10"}, {"6", "6"}, {"5", "5"},
                                  {"4.3", "4.3"}, {"3", "3"}, {"2", "2"}, {"1", "1"}};
    static const Option pal[] = {{"25", "25"}, {"12.5", "12.5"}, {"8.3", "8.3"}, {"5", "5"},
                                 {"4.2", "4.2"}, {"3.1", "3.1"}, {"2.1", "2.1"}, {"1", "1"}};
    if (framerate_base() == 30)
        option_list(out, "FrameRate", ntsc, 9);
    else
        option_list(out, "FrameRate", pal, 8);
}

void gen_resolution(DynBuf *out)
{
    Option o[16];
    int n = 0;
    for (const char *const *m = resolution_mode_table(); m && *m && n < 16; m++, n++)
        o[n] = {*m, *m};
    option_list(out, "Resolution", o, n);
}

void gen_stream_mode(DynBuf *out)
{
    static const int modes[] = {StreamMode_H264_AAC_TS,  StreamMode_H264_TS,    StreamMode_H264_ES,
                                StreamMode_MPEG4_AAC_TS, StreamMode_MPEG4_TS,   StreamMode_MPEG4_ES,
                                StreamMode_JPEG};
    char value[10];
    int current = current_value(out, "StreamMode", value, sizeof value) ? atoi(value) : -1;
    for (int m : modes)
        dynbuf_printf(out, "<option value='%d'%s>%s</option>\n", m, m == current ? " selected" : "",
                      stream_mode_label(m));
}

void gen_custom_zip_size(DynBuf *out)
{
    char value[24];
    long long bytes = current_value(out, "CustomZipSize", value, sizeof value) ? atoll(value) : -1;
    if (bytes < 0)
        put(out, "none");
    else
        dynbuf_printf(out, "%lld bytes", bytes);
}

void permission_options(DynBuf *out, int selected)
{
    static const int levels[] = {1, 3, 4, 5};
    for (int l : levels)
        dynbuf_printf(out, "<option value='%d'%s>%s</option>\n", l, l == selected ? " selected" : "",
                      permission_name(l));
}

// Standing alone the list selects the value of the select it stands in.
Render *current_render;

void gen_permission(DynBuf *out)
{
    int selected = -1;
    if (current_render && current_render->out == out && current_render->select_has)
        selected = atoi(current_render->select_value.c_str());
    permission_options(out, selected);
}

// What a level may change that the level None may not, in words, from the table the guards
// use: the few controls by name, any other setting counted. Rows anyone may "write" are the
// status rows, which take nothing.
std::string level_changes(int level)
{
    static const struct {
        const char *row;    // the name with each index as "[n]"
        const char *words;
    } controls[] = {
        {"UDP[n].State", "start and stop the UDP/TCP outputs"},
        {"Display.State", "start and stop the video output"},
        {"Recording.State", "start and stop recording"},
        {"Serial.State", "start and stop the serial port"},
        {"GPIO.out", "set the GPIO output"},
    };
    const ParamAccess *access = param_access();
    bool named[sizeof controls / sizeof controls[0]] = {};
    int others = 0;
    for (int i = 0; access && access->row_name && access->row_name(i); i++) {
        const char *name = access->row_name(i);
        if (param_access_write_allowed(name, level) <= 0 || param_access_write_allowed(name, 0) > 0)
            continue;
        std::string row;
        for (const char *c = name; *c; c++) {
            row += *c;
            if (*c == '[' && isdigit((unsigned char)c[1])) {
                while (isdigit((unsigned char)c[1]))
                    c++;
                row += 'n';
            }
        }
        bool known = false;
        for (size_t k = 0; k < sizeof controls / sizeof controls[0]; k++)
            if (row == controls[k].row)
                named[k] = known = true;
        others += !known;
    }
    std::vector<std::string> parts;
    if (others)
        parts.push_back(std::to_string(others) + (others == 1 ? " setting" : " settings"));
    for (size_t k = 0; k < sizeof controls / sizeof controls[0]; k++)
        if (named[k])
            parts.push_back(controls[k].words);
    std::string text;
    for (size_t k = 0; k < parts.size(); k++)
        text += (k == 0 ? "" : k + 1 == parts.size() ? " and " : ", ") + parts[k];
    if (others)
        text = "change " + text;
    return text;
}

void gen_users_table(DynBuf *out)
{
    char name[64], level[16];
    for (int n = 0; n < (int)PARAM_USER_COUNT; n++) {
        char key[32];
        snprintf(key, sizeof key, "User[%d].Name", n);
        if (param_access_get(key, name, sizeof name) <= 0)
            continue;
        snprintf(key, sizeof key, "User[%d].Permission", n);
        int selected = param_access_get(key, level, sizeof level) > 0 ? atoi(level) : -1;
        dynbuf_printf(out, "<tr id='tr_User%d'><td><input type='text' name='User[%d].Name' value='", n, n);
        put_escaped(out, name);
        dynbuf_printf(out,
                      "' size='10' style='width: 100px;'></td>\n<td><input type='password' size='10' "
                      "name='User[%d].Password' value='password' style='width: 100px;'></td>\n<td><select "
                      "name='User[%d].Permission'>\n",
                      n, n);
        permission_options(out, selected);
        dynbuf_printf(out, "</select></td>\n<td><input type='checkbox' name='User[%d].Delete'></td></tr>\n", n);
    }
    char guest[16];
    int g = param_access_get("GuestPermission", guest, sizeof guest) > 0 ? atoi(guest) : -1;
    put(out, "<tr><td><input type='text' value='guest' readonly size='10' style='width: 100px;'></td>\n"
             "<td style='width: 111px;'></td>\n<td><select name='GuestPermission'>\n");
    dynbuf_printf(out, "<option value='0'%s>%s</option>\n", g == 0 ? " selected" : "", permission_name(0));
    permission_options(out, g);
    dynbuf_printf(out, "<option value='6'%s>%s</option>\n", g == 6 ? " selected" : "", permission_name(6));
    put(out, "</select></td>\n");
    // What the guest's level means now, beside it: a person who has just made an Admin must not
    // take the device for closed while the guest may still change it.
    put(out, "<td class='note' id='guestnote'>");
    if (auth_device_open())
        put(out, "No user is an Admin yet, so the guest has Admin permission: anyone who reaches the device may "
                 "change its settings and users. Create an Admin below, log in as that user, then lower the "
                 "guest's permission.");
    else if (g == 0)
        put(out, "The guest has no permission: everyone must log in.");
    else if (g >= (int)PERM_ADMIN && g != (int)PERM_DEMO)
        dynbuf_printf(out,
                      "The guest has %s permission: anyone who reaches the device may change its settings and "
                      "create users without logging in. Lower the guest's permission to close the device to them.",
                      permission_name((uint32_t)g));
    else if (std::string what = g > 0 ? level_changes(g) : ""; !what.empty())
        dynbuf_printf(out,
                      "The guest has %s permission: anyone who reaches the device may %s without logging in, and "
                      "change nothing else. Lower the guest's permission to close the device to them.",
                      permission_name((uint32_t)g), what.c_str());
    else
        put(out, "The guest may change no setting: only users who log in may.");
    put(out, "</td></tr>\n");
}

void menu_link(DynBuf *out, const char *href, const char *text)
{
    dynbuf_printf(out, "<p><a href='%s'>%s</a></p>\n", href, text);
}

void gen_nav_bar(DynBuf *out)
{
    int level = request_level(out);
    if (level >= 1) {
        put(out, "<h6>Live&nbsp;View</h6>\n");
        menu_link(out, "view_streama.htm", "Stream&nbsp;A");
        menu_link(out, "view_streamb.htm", "Stream&nbsp;B");
        menu_link(out, "rtsp_streams.htm", "RTSP&nbsp;Streams");
    }
    if (level >= 3) {
        put(out, "<h6>Control</h6>\n");
        menu_link(out, "control_streama.htm", "Stream&nbsp;A");
        menu_link(out, "control_streamb.htm", "Stream&nbsp;B");
        menu_link(out, "control_output.htm", "Output");
        if (filesys_is_mounted(0)) {
            menu_link(out, "control_recording.htm", "Recording");
            menu_link(out, "download.htm", "Download");
        }
        menu_link(out, "control_serial.htm", "Serial&nbsp;Port");
        menu_link(out, "control_gpio.htm", "GPIO");
    }
    if (level >= 4) {
        put(out, "<h6>Configure</h6>\n");
        menu_link(out, "setup_streama.htm", "Stream&nbsp;A");
        menu_link(out, "setup_streamb.htm", "Stream&nbsp;B");
        menu_link(out, "setup_video.htm", "Video");
        menu_link(out, "setup_audio.htm", "Audio");
        menu_link(out, "setup_output.htm", "Output");
    }
    if (level >= 5) {
        put(out, "<h6>Admin</h6>\n");
        menu_link(out, "admin_clock.htm", "Clock");
        menu_link(out, "admin_network.htm", "Network");
        menu_link(out, "admin_users.htm", "Users");
        menu_link(out, "admin_update.htm", "Update");
    }
    HttpRequest *req = out->req;
    const char *user = req && req->user && *req->user ? req->user : nullptr;
    put(out, "<h6>User:&nbsp;");
    put_escaped(out, user ? user : "guest");
    dynbuf_printf(out, "</h6>\n<form action='%s' method='GET'>\n<input type='hidden' name='redirect' value='",
                  user ? "logout.htm" : "login.htm");
    put_escaped(out, req && req->url ? req->url : "");
    dynbuf_printf(out, "'/>\n<p><input type='submit' value='%s'/></p></form>\n", user ? "Log out" : "Log in");
}

void gen_username(DynBuf *out)
{
    if (out->req && out->req->user)
        put_escaped(out, out->req->user);
}

void gen_referer(DynBuf *out)
{
    const char *v = query_value(out->req, "redirect");
    if (!v)
        v = header_value(out->req, "Referer");
    put_escaped(out, v);
}

void rtsp_link(DynBuf *out, const char *host, int port, const char *name, const char *text)
{
    put(out, "<td><a href='rtsp://");
    put_escaped(out, host);
    dynbuf_printf(out, ":%d/", port);
    put_escaped(out, name);
    dynbuf_printf(out, "'>%s</a></td>", text);
}

void rtsp_row(DynBuf *out, const char *host, int port, const char *title, const char *a, const char *b,
              const char *text_a = "Stream A", const char *text_b = "Stream B")
{
    dynbuf_printf(out, "<tr><td>%s</td>", title);
    rtsp_link(out, host, port, a, text_a);
    if (b)
        rtsp_link(out, host, port, b, text_b);
    else
        put(out, "<td></td>");
    put(out, "</tr>\n");
}

void gen_rtsp_streams(DynBuf *out)
{
    const char *host = header_value(out->req, "Host");
    if (!host)
        host = "";
    int port = param_access_int("RTSP_Port", 0);
    if (port == 0)
        port = 8554;
    int custom_mode = param_access_int("RTSP_CustomStreamMode", 0);
    char custom[64] = "";
    param_access_get("RTSP_CustomStreamName", custom, sizeof custom);
    put(out, "<table id='params'>\n");
    rtsp_row(out, host, port, "H264 video + AAC audio", "streamA.h264_aac", "streamB.h264_aac");
    rtsp_row(out, host, port, "H264 video + PCM audio", "streamA.h264_pcm", "streamB.h264_pcm");
    rtsp_row(out, host, port, "Transport Stream (H264 + AAC)", "streamA.ts", "streamB.ts");
    rtsp_row(out, host, port, "Transport Stream (H264 only)", "vstreamA.ts", "vstreamB.ts");
    rtsp_row(out, host, port, "H264 video only", "streamA.h264", "streamB.h264");
    rtsp_row(out, host, port, "Audio only", "streamC.aac", "streamC.pcm", "Stream AAC", "Stream PCM");
    put(out, "<tr><td colspan='3'>Note: a multicast stream plays while its channel's UDP/TCP output runs in mode "
             "Multicast RTP: start it on <a href='control_streama.htm'>Control &rarr; Stream A</a> or "
             "<a href='control_streamb.htm'>Control &rarr; Stream B</a>.</td></tr>\n");
    const char *ma = "multicastA.h264", *mb = "multicastB.h264";
    if (*custom && custom_mode == 3)
        ma = custom;
    if (*custom && custom_mode == 4)
        mb = custom;
    rtsp_row(out, host, port, "H264 video multicast", ma, mb);
    rtsp_row(out, host, port, "H264 video + AAC audio multicast", "multicastA.h264_aac", "multicastB.h264_aac");
    if (*custom && (custom_mode == 1 || custom_mode == 2))
        rtsp_row(out, host, port, "Custom Named Stream", custom, nullptr, "Custom Stream");
    put(out, "</table>\n");
}

const Generator generators[] = {
    {"capture_input_options", gen_capture_input},
    {"display_output_options", gen_display_output},
    {"resolutionA_options", gen_resolution},
    {"resolutionB_options", gen_resolution},
    {"frame_rate_options", gen_frame_rate},
    {"permission_options", gen_permission},
    {"users_table", gen_users_table},
    {"nav_bar", gen_nav_bar},
    {"username", gen_username},
    {"referer", gen_referer},
    {"audio_input_options", gen_audio_input},
    {"rtsp_streams", gen_rtsp_streams},
    {"stream_mode_options", gen_stream_mode},
};

// Fragments only pages include: they have no address of their own.
const Generator fragments[] = {
    {"custom_zip_size", gen_custom_zip_size},
};

const Generator *fragment(const char *name)
{
    for (const auto &g : fragments)
        if (strcmp(g.row, name) == 0)
            return &g;
    return nullptr;
}

int render_top(DynBuf *out, const char *text, size_t len, const char *file, const char *title)
{
    Render r = {};
    r.out = out;
    Render *saved = current_render;
    current_render = &r;
    int rc = file ? render_file(&r, file, title) : render_text(&r, text, len, title);
    current_render = saved;
    return render_result(rc);
}

// debug.htm: each query value and header, escaped.
MHD_Result debug_value(void *cls, MHD_ValueKind, const char *key, const char *value)
{
    DynBuf *b = static_cast<DynBuf *>(cls);
    put(b, "<pre>");
    put_escaped(b, key);
    put(b, ": ");
    put_escaped(b, value);
    put(b, "</pre>\n");
    return MHD_YES;
}

} // namespace

// --- interfaces -------------------------------------------------------------------------------

void pages_set_limits(PagesLimitsFn fn)
{
    limits_fn = fn ? fn : param_limits;
}

int render_template(DynBuf *out, const UrlEntry *row)
{
    if (!row || !row->arg)
        return -1;
    return render_top(out, row->arg, strlen(row->arg), nullptr, nullptr);
}

int render_template_file(DynBuf *out, const char *name, const char *title)
{
    return render_top(out, nullptr, 0, name, title);
}

int pages_generate(DynBuf *out, const char *name)
{
    for (const auto &g : generators)
        if (strcmp(g.row, name) == 0) {
            g.fn(out);
            return 0;
        }
    return -1;
}

int render_page(HttpRequest *req)
{
    DynBuf b = {};
    b.req = req;
    return answer_render(req, &b, render_template(&b, req->entry));
}

int generator_page(HttpRequest *req)
{
    DynBuf b = {};
    b.req = req;
    b.prefix = req->prefix;
    if (pages_generate(&b, req->entry->name) != 0) {
        dynbuf_free(&b);
        return HTTP_NO_RESPONSE;
    }
    return answer_buf(req, &b);
}

int serve_file(HttpRequest *req)
{
    const char *url = req->url;
    if (!url || strstr(url, "..") || strlen(url) > PAGES_PATH_MAX)
        return HTTP_NO_RESPONSE;
    const char *path = *url == '/' ? url + 1 : url;
    if (!*path)
        return HTTP_NO_RESPONSE;
    if (has_suffix_ci(path, ".htm") || has_suffix_ci(path, ".html")) {
        DynBuf b = {};
        b.req = req;
        return answer_render(req, &b, render_template_file(&b, path, nullptr));
    }
    std::string rel = std::string(PAGES_WEB_ROOT "/") + path;
    char full[512];
    platform_path(rel.c_str(), full, sizeof full);
    int fd = open(full, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return HTTP_NO_RESPONSE;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return HTTP_NO_RESPONSE;
    }
    MHD_Response *r = MHD_create_response_from_fd((uint64_t)st.st_size, fd);
    if (!r) {
        close(fd);
        return MHD_NO;
    }
    http_no_cache(r);
    if (const char *type = get_mime_type(path))
        http_set_type(r, type);
    return http_queue(req->connection, MHD_HTTP_OK, r);
}

int get_view_stream(HttpRequest *req)
{
    char letter = has_suffix_ci(req->url, "b.htm") ? 'b' : 'a';
    int mode = param_access_int(letter == 'a' ? "Video[0].StreamMode" : "Video[1].StreamMode", -1);
    int codec = mode < 0 ? VIDEO_CODEC_NONE : stream_mode_video_codec(mode);
    char target[32];
    if (codec == VIDEO_CODEC_H264)
        snprintf(target, sizeof target, "rtmp_stream%c.htm", letter);
    else if (codec == VIDEO_CODEC_JPEG)
        snprintf(target, sizeof target, "jpeg_stream%c.htm", letter);
    else
        snprintf(target, sizeof target, "invalid_stream.htm");
    return http_redirect(req->connection, target);
}

int get_config_txt(HttpRequest *req)
{
    const ParamAccess *a = param_access();
    DynBuf b = {};
    b.req = req;
    b.content_type = "text/plain";
    char value[512];
    for (int i = 0; a->row_name; i++) {
        const char *name = a->row_name(i);
        if (!name)
            break;
        if (a->row_is_function && a->row_is_function(i))
            continue;
        // Only what the request may read by name.
        if (param_access_read_allowed(name, req->level) <= 0)
            continue;
        int n = a->row_format ? a->row_format(i, value, sizeof value) : -1;
        if (n < 0)
            continue;
        value[sizeof value - 1] = 0;
        dynbuf_printf(&b, "%s = %s\n", name, value);
    }
    return answer_buf(req, &b);
}

int get_debug_page(HttpRequest *req)
{
    static int views;
    DynBuf b = {};
    b.req = req;
    put(&b, "<html><head><title>Debug page</title></head>\n<style>\npre {white-space: pre-wrap;}\n</style><body>\n");
    put(&b, "<pre>User: ");
    put_escaped(&b, query_value(req, "user") ? query_value(req, "user") : "(null)");
    dynbuf_printf(&b, " (%d)</pre>\n", views++);
    put(&b, "<pre>req-&gt;username: ");
    put_escaped(&b, req->user ? req->user : "(null)");
    put(&b, "</pre>\n");
    MHD_get_connection_values(req->connection, MHD_GET_ARGUMENT_KIND, debug_value, &b);
    MHD_get_connection_values(req->connection, MHD_HEADER_KIND, debug_value, &b);
    put(&b, "<a href='login.htm'>login</a> <a href='logout.htm'>logout</a>\n</body></html>\n");
    return answer_buf(req, &b);
}
