// The web server thread: libmicrohttpd on port 80, one access handler that dispatches by the URL
// table, settings read and written by name, and the thread that stores the settings a moment
// after the last change.
#pragma once
#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

#include "core/log.h"

struct UrlEntry;
struct PostContext;

// Results of GET handlers: MHD_YES / MHD_NO when they answered, or this when they gave no
// response and the request falls through to the next way of answering it.
enum { HTTP_NO_RESPONSE = -1 };

struct HttpRequest {
    MHD_Connection *connection;
    const char *url;
    char *user;                 // owned; null = guest
    int level;
    const UrlEntry *entry;
    const char *prefix;         // form key prefix
    const char *redirect;       // after a template refused access
    int page, detailed, fast;   // file-list options
};

typedef int (*GetHandler)(HttpRequest *req);
// Called once with null data when the POST begins (set-up), then once per key value when the
// row is named by a key of a settings form.
typedef int (*PostHandler)(PostContext *ctx, const char *data, size_t size);
typedef int (*ChunkHandler)(PostContext *ctx, const char *data, size_t size);
typedef void (*CloseHandler)(PostContext *ctx);

struct UrlEntry {
    const char *name;           // without the leading "/"; "" is the root
    const char *arg;
    GetHandler get_handler;
    PostHandler post_handler;
    int post_level;             // level a POST to this row needs (0: each key checks its own)
};

struct PostContext {
    MHD_Connection *connection;
    char *user;                 // owned; null = guest
    int level;
    LogOrigin origin;           // the sender: later calls of the same request log as it
    const UrlEntry *entry;
    char *redirect;             // owned
    ChunkHandler chunk;
    CloseHandler close;
    MHD_PostProcessor *pp;
    size_t upload_bytes;
    void *upload;
    int denied;
    int unnamed_parts;          // multipart parts without a name, logged once
    int aborted;                // the client went away before the body ended
    int new_user_slot;          // user creation: slot + 1, -1 none free, 0 not chosen yet
    unsigned refusal;           // an upload refused: this status and text instead of the usual answer
    const char *refusal_text;
    int answer_early;           // the body will be refused: answered before it is read
    int deferred;               // the close handler parked the connection: answered once resumed
    struct NewUser *new_user;   // user creation: the keys, kept until the form ends
    int stopped;                // a refused key: the rest of the form is not acted on
    char refused[96];           // why the form was refused, for the answer; empty: it was not
};

// Growable response text; grows in steps of 4096 bytes.
struct DynBuf {
    char *data;
    size_t capacity;
    size_t length;
    HttpRequest *req;
    const char *prefix;
    const char *content_type;   // null = "text/html"
    int owned;
};
int dynbuf_append(DynBuf *b, const char *text, size_t length);
int dynbuf_printf(DynBuf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void dynbuf_free(DynBuf *b);

extern const UrlEntry url_table[];
extern const int url_table_size;
const UrlEntry *url_lookup(const char *name);

// -1 before the thread runs, 0 while it runs, 1 when the network code asks for a restart.
extern volatile int httpd_restart_request;
// Set by a "_no_save" row or a save_params key: the post applies but does not store.
extern int httpd_no_save;

void *httpdThrFxn(void *arg);

// The server itself, for the thread and for tests. `handler` null means answer_to_connection.
int httpd_start(uint16_t port, MHD_AccessHandlerCallback handler);
void httpd_stop();
uint16_t httpd_port();

MHD_Result answer_to_connection(void *cls, MHD_Connection *connection, const char *url, const char *method,
                                const char *version, const char *upload_data, size_t *upload_data_size,
                                void **con_cls);

// The per-connection pointer of the library belongs to the POST machinery; GET handlers keep
// their own state. A handler that hands its work to another thread parks the connection; the worker resumes it
// with httpd_unpark. Returns 0 when parked, -1 while the server stops. Stopping the server releases every parked
// connection first; httpd_unpark then reports -1 and the worker must not touch the connection.
int httpd_park(MHD_Connection *connection);
int httpd_unpark(MHD_Connection *connection);
// Queues the answer of a parked connection from the worker and resumes it; the response is
// released either way. -1 when the connection was not parked (the server let it go).
int httpd_unpark_answer(MHD_Connection *connection, unsigned status, MHD_Response *response);
int httpd_parked_count();

// Wakes the once-a-second tick at once (the recording stream's state changed).
void httpd_tick_signal();

// The settings save thread and its wake-up.
void param_save_wake();
int param_save_start();
void param_save_stop();
uint32_t param_save_commits();      // commits done so far
uint32_t param_save_wake_count();   // wake-ups so far

// Response helpers shared by the web pages.
int http_add_header(MHD_Response *r, const char *name, const char *value);
void http_no_cache(MHD_Response *r);
void http_set_type(MHD_Response *r, const char *type);
MHD_Result http_queue(MHD_Connection *c, unsigned status, MHD_Response *r);
MHD_Result http_redirect(MHD_Connection *c, const char *location);
MHD_Result http_text(MHD_Connection *c, unsigned status, const char *type, const char *body, size_t length);
// A small HTML page from a format, not cached; null when it cannot be made.
MHD_Response *http_html_response(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The line for a request without a user comes at a bounded rate: anyone can ask for unknown URLs.
MHD_Result http_not_found(MHD_Connection *c, const char *url);
MHD_Result http_method_not_allowed(MHD_Connection *c);
const char *get_mime_type(const char *filename);
// Escapes &, <, >, " and ' for text put inside an HTML attribute or element.
size_t html_escape(const char *in, char *out, size_t size);

// For the upload rows kept in their own file: a form key by key, and the end of a post.
int httpd_post_form(PostContext *ctx, const char *data, size_t size);
extern void (*const httpd_post_done)(PostContext *ctx);   // the ordinary end, to compare against
// True for the rows whose POST is the plain settings form: a page's form posting there gives its
// fields the row's key prefix.
bool url_is_settings_form(const UrlEntry *row);
