// Pages of the web interface: the template renderer that fills the files under the web root
// with setting values, limits, included fragments and permission checks; the generated
// fragments; the plain file server; and the small pages the program builds itself.
#pragma once
#include "web/httpd.h"

#include <cstdint>

enum {
    PAGES_PATH_MAX = 70,        // longer request paths are never served from the web root
    PAGES_INCLUDE_DEPTH = 8,    // nested includes beyond this fail (a page that includes itself)
};

#define PAGES_WEB_ROOT "/usr/html"

// Renders a row's template text (its `arg`) into `out`. 0 on success; -1 on failure, with
// out->req->redirect set when the page must send the browser elsewhere.
int render_template(DynBuf *out, const UrlEntry *row);
// Renders the file `name` under the web root; `title` (may be null) replaces the text of its
// title element after the host name.
int render_template_file(DynBuf *out, const char *name, const char *title);

// GET handlers (HTTP_NO_RESPONSE when they give no response).
int render_page(HttpRequest *req);      // the row's template text
int serve_file(HttpRequest *req);       // the path under the web root; ".htm"/".html" rendered
int generator_page(HttpRequest *req);   // the row's generator
int get_view_stream(HttpRequest *req);  // view_streama.htm / view_streamb.htm
int get_config_txt(HttpRequest *req);
int get_debug_page(HttpRequest *req);

// Runs the generator of the row named `name` into `out`; -1 when there is none.
int pages_generate(DynBuf *out, const char *name);

// Where number and range fields take their limits from; the parameter table by default.
// Tests install their own (null restores the default).
typedef int (*PagesLimitsFn)(const char *name, int32_t *min, int32_t *max, int32_t *step);
void pages_set_limits(PagesLimitsFn fn);

// The Unauthorized page's template text (the row "unauthorized.htm").
extern const char pages_unauthorized_text[];
