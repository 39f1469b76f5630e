#include "web/auth.h"

#include "core/log.h"
#include "core/param_commit.h"
#include "web/accesslog.h"
#include "web/guard.h"
#include "web/httpd.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <strings.h>
#include <sys/random.h>

extern "C" {
#include <libavutil/base64.h>
}

namespace {

LoginSession sessions[LOGIN_SESSIONS];
int next_session;
char revoked[REVOKED_NONCES][REVOKED_NONCE_MAX + 1];
int revoked_write;

const char *const denied_page =
    "<html><head>\n<meta http-equiv=\"refresh\" content=\"0;url=%s\"><title>Access denied</title></head>\n"
    "<body>Access denied</body>\n</html>\n";
const char *const login_page =
    "<html><head>\n<meta http-equiv=\"refresh\" content=\"0;url=%s\"><title>Logging in</title></head>\n"
    "<body>Logging in</body>\n</html>\n";

uint32_t client_addr(MHD_Connection *c)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr || info->client_addr->sa_family != AF_INET)
        return 0;
    return reinterpret_cast<const sockaddr_in *>(info->client_addr)->sin_addr.s_addr;
}

char *dup_mhd(char *s)
{
    if (!s)
        return nullptr;
    char *copy = strdup(s);
    MHD_free(s);
    return copy;
}

void random_bytes(uint8_t *out, size_t n)
{
    // Tokens and nonces must not be guessable from the start time.
    if (getrandom(out, n, 0) == (ssize_t)n)
        return;
    for (size_t i = 0; i < n; i++)
        out[i] = (uint8_t)rand();
}

// The request's digest nonce, at most REVOKED_NONCE_MAX characters up to its closing quote.
bool request_nonce(MHD_Connection *c, char out[REVOKED_NONCE_MAX + 1])
{
    const char *authz = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization");
    if (!authz)
        return false;
    const char *p = strstr(authz, " nonce=");
    if (!p)
        p = strstr(authz, ",nonce=");
    if (!p)
        return false;
    p += 7;
    if (*p++ != '"')
        return false;
    size_t n = 0;
    while (p[n] && p[n] != '"' && n < REVOKED_NONCE_MAX)
        n++;
    if (n == 0)
        return false;
    memcpy(out, p, n);
    out[n] = 0;
    return true;
}

// Redirect target: the query value "redirect", else the Referer, else the index page; only a
// path on this device.
void login_target(MHD_Connection *c, char *out, size_t size)
{
    guard_return_target(c, MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "redirect"), "/index.htm", out,
                       size);
}

// An HTML page with the request's target escaped into its one "%s".
MHD_Response *escaped_page(const char *page, const char *target)
{
    char escaped[6 * 150];
    html_escape(target, escaped, sizeof escaped);
    return http_html_response(page, escaped);
}

MHD_Result answer_logged_in(MHD_Connection *c, int slot, const char *target)
{
    MHD_Response *r = escaped_page(login_page, target);
    if (!r)
        return MHD_NO;
    char cookie[64];
    // Strict: no other site's page or link makes the browser send it; HttpOnly: no script reads it.
    snprintf(cookie, sizeof cookie, "Token=%s; SameSite=Strict; HttpOnly", sessions[slot].token);
    http_add_header(r, "Set-Cookie", cookie);
    return http_queue(c, MHD_HTTP_OK, r);
}

void revoked_remove(int index)
{
    int j = index;
    for (;;) {
        int next = (j + 1) % REVOKED_NONCES;
        if (next == revoked_write)
            break;
        memcpy(revoked[j], revoked[next], sizeof revoked[j]);
        j = next;
    }
    memset(revoked[j], 0, sizeof revoked[j]);
    revoked_write = j;
}

// Basic credentials: the name and the password are compared whole, as decoded, so a NUL and
// whatever follows it cannot ride on a right password. Null when the request carries none.
char *basic_user(MHD_Connection *c, int *ok)
{
    const char *authz = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization");
    if (!authz || strncasecmp(authz, "Basic ", 6) != 0)
        return nullptr;
    const char *b64 = authz + 6;
    while (*b64 == ' ')
        b64++;
    size_t n = strlen(b64);
    if (n == 0 || n > 1024)
        return nullptr;
    uint8_t decoded[1024];
    int len = av_base64_decode(decoded, b64, (int)sizeof decoded);
    const uint8_t *colon = len > 0 ? static_cast<const uint8_t *>(memchr(decoded, ':', (size_t)len)) : nullptr;
    if (!colon)
        return nullptr;
    size_t name_len = (size_t)(colon - decoded), pass_len = (size_t)len - name_len - 1;
    const char *pass = reinterpret_cast<const char *>(colon + 1);
    char *name = strndup(reinterpret_cast<const char *>(decoded), name_len);
    if (!name)
        return nullptr;
    const char *stored = strlen(name) == name_len ? param_access_user_password(name) : nullptr;
    *ok = stored && strlen(stored) == pass_len && memcmp(stored, pass, pass_len) == 0;
    return name;
}

} // namespace

bool auth_device_open()
{
    // Slots whose rows cannot be read hold nobody.
    for (int n = 0; n < 10; n++) {
        char key[32], value[32];
        snprintf(key, sizeof key, "User[%d].Name", n);
        if (param_access_get(key, value, sizeof value) <= 0)
            continue;
        snprintf(key, sizeof key, "User[%d].Permission", n);
        if (param_access_get(key, value, sizeof value) > 0 && atoi(value) >= WEB_LEVEL_ADMIN)
            return false;
    }
    return true;
}

bool auth_write_allowed(int level, int needed)
{
    return level != WEB_LEVEL_DEMO && level >= needed;
}

namespace {

char *request_user(MHD_Connection *c, int *ok)
{
    *ok = 1;
    if (!MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization")) {
        int s = session_find(c);
        if (s >= 0 && sessions[s].state == SESSION_LOGGED_IN)
            return strdup(sessions[s].user);
        return nullptr;
    }
    char *name = dup_mhd(MHD_digest_auth_get_username(c));
    if (name) {
        const char *password = param_access_user_password(name);
        if (password) {
            if (revoked_nonce_find(c, 0) >= 0) {
                free(name);
                *ok = 0;
                return nullptr;
            }
            int r = MHD_digest_auth_check(c, AUTH_REALM, name, password, AUTH_NONCE_TIMEOUT);
            *ok = r == MHD_YES ? 1 : r == MHD_INVALID_NONCE ? -1 : 0;
            return name;
        }
        free(name);   // not one of ours: try basic, else the guest
    }
    return basic_user(c, ok);
}

} // namespace

char *auth_get_user(MHD_Connection *c, int *ok)
{
    char *user = request_user(c, ok);
    // From here on, what the request logs is charged to the user it proved to come from.
    if (user && *ok == 1)
        log_origin_swap(log_origin_client(user, param_access_user_level(user) == WEB_LEVEL_ADMIN));
    return user;
}

namespace {

// The library names the digest algorithm "md5"; the RFCs write "MD5", and some clients
// (ffmpeg) answer only a challenge spelled so. Fixed in the queued answer, which goes out later
// on this same thread.
void challenge_algorithm_case(MHD_Response *r)
{
    const char *h = MHD_get_response_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE);
    const char *at = h ? strstr(h, ",algorithm=md5") : nullptr;
    if (!at)
        return;
    char fixed[512];
    size_t head = (size_t)(at - h) + strlen(",algorithm=");
    if (strlen(h) >= sizeof fixed)
        return;
    snprintf(fixed, sizeof fixed, "%.*sMD5%s", (int)head, h, at + strlen(",algorithm=md5"));
    if (MHD_del_response_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE, h) == MHD_YES)
        http_add_header(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE, fixed);
}

} // namespace

MHD_Result queue_auth_fail(MHD_Connection *c, int result)
{
    char target[150];
    login_target(c, target, sizeof target);
    MHD_Response *r = escaped_page(denied_page, target);
    if (!r)
        return MHD_NO;
    MHD_Result ret = MHD_queue_auth_fail_response(c, AUTH_REALM, AUTH_OPAQUE, r, result == -1 ? MHD_YES : MHD_NO);
    if (ret == MHD_YES)
        challenge_algorithm_case(r);
    MHD_destroy_response(r);
    return ret;
}

int session_find(MHD_Connection *c)
{
    const char *cookie = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Cookie");
    if (!cookie)
        return -1;
    unsigned a, b;
    char extra;
    if (sscanf(cookie, "Token=%8x%8x%c", &a, &b, &extra) != 2)
        return -1;
    uint32_t addr = client_addr(c);
    const char *token = cookie + 6;
    for (int i = 0; i < LOGIN_SESSIONS; i++)
        if (sessions[i].addr == addr && sessions[i].token[0] && strcmp(sessions[i].token, token) == 0)
            return i;
    return -2;
}

int session_create(MHD_Connection *c, const char *user)
{
    int slot = next_session;
    LoginSession *s = &sessions[slot];
    uint8_t bytes[8];
    random_bytes(bytes, sizeof bytes);
    for (int i = 0; i < 8; i++)
        snprintf(s->token + 2 * i, 3, "%02x", bytes[i]);
    s->addr = client_addr(c);
    snprintf(s->user, sizeof s->user, "%s", user ? user : "");
    s->state = SESSION_LOGGED_IN;
    next_session = slot >= LOGIN_SESSIONS - 1 ? 1 : slot + 1;
    return slot;
}

int revoked_nonce_find(MHD_Connection *c, int add)
{
    char nonce[REVOKED_NONCE_MAX + 1];
    if (!request_nonce(c, nonce))
        return -1;
    for (int i = 0; i < REVOKED_NONCES; i++)
        if (strcmp(revoked[i], nonce) == 0)
            return i;
    if (add) {
        memcpy(revoked[revoked_write], nonce, sizeof nonce);
        revoked_write = (revoked_write + 1) % REVOKED_NONCES;
    }
    return -1;
}

namespace {

// A login is recorded when it starts, not for every visit of the login page: each record is a
// write to flash. Without a cookie the credentials are all there is to go by. Returns the
// client's session as session_find does.
int record_login_start(MHD_Connection *c, const char *user)
{
    int s = session_find(c);
    char name[sizeof sessions[0].user];
    snprintf(name, sizeof name, "%s", user);
    bool starts = s < 0 || sessions[s].state == SESSION_PENDING ||
                  (sessions[s].state == SESSION_LOGGED_IN && strcmp(sessions[s].user, name) != 0);
    if (starts && guard_access_log_add(ACCESS_LOG_CAT_LOGIN, user, ACCESS_EVENT_LOGIN) != 0)
        log_printf("%s: log write failed\n", "get_login_func");
    return s;
}

} // namespace

int get_login_func(HttpRequest *req)
{
    MHD_Connection *c = req->connection;
    char target[150], location[300];
    login_target(c, target, sizeof target);
    const char *a = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "a");
    bool user = req->user && *req->user;
    if (a && strcmp(a, "verify") == 0) {
        if (user)
            return http_redirect(c, target);
        snprintf(location, sizeof location, "/login.htm?a=cookie&redirect=%s", target);
        location[149] = 0;   // redirect texts are cut at 150 characters
        return http_redirect(c, location);
    }
    if (a && strcmp(a, "cookie") == 0) {
        if (!user)
            return queue_auth_fail(c, 0);
        record_login_start(c, req->user);
        return answer_logged_in(c, session_create(c, req->user), target);
    }
    if (a)
        return http_redirect(c, target);
    if (!user) {
        int i = revoked_nonce_find(c, 0);
        if (i >= 0)
            revoked_remove(i);   // the browser asks again with these credentials
        return queue_auth_fail(c, 0);
    }
    int s = record_login_start(c, req->user);
    if (s == -2)
        return answer_logged_in(c, session_create(c, req->user), target);
    if (s == -1) {
        snprintf(location, sizeof location, "/login.htm?a=verify&redirect=%s", target);
        location[149] = 0;
        return http_redirect(c, location);
    }
    if (sessions[s].state != SESSION_LOGGED_OUT) {
        sessions[s].state = SESSION_LOGGED_IN;
        snprintf(sessions[s].user, sizeof sessions[s].user, "%s", req->user);
        return http_redirect(c, target);
    }
    sessions[s].state = SESSION_PENDING;
    return queue_auth_fail(c, 0);
}

int get_logout_func(HttpRequest *req)
{
    MHD_Connection *c = req->connection;
    char target[150];
    login_target(c, target, sizeof target);
    // Only a logout that ends a login is recorded: anyone may ask for this page, and each record
    // is a write to flash. A session ends when it was logged in; without one, the credentials'
    // login ends here.
    int s = session_find(c);
    const char *who = s >= 0 ? (sessions[s].state == SESSION_LOGGED_IN ? sessions[s].user : nullptr) : req->user;
    if (who && *who && guard_access_log_add(ACCESS_LOG_CAT_LOGIN, who, ACCESS_EVENT_LOGOUT) != 0)
        log_printf("%s: log write failed\n", "get_logout_func");
    revoked_nonce_find(c, 1);
    if (s >= 0)
        sessions[s].state = sessions[s].state == SESSION_LOGGED_IN ? SESSION_LOGGED_OUT : SESSION_PENDING;
    return http_redirect(c, target);
}

const LoginSession *session_slot(int index)
{
    return index >= 0 && index < LOGIN_SESSIONS ? &sessions[index] : nullptr;
}

void auth_reset()
{
    memset(sessions, 0, sizeof sessions);
    next_session = 0;
    memset(revoked, 0, sizeof revoked);
    revoked_write = 0;
}
