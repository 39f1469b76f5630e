// Who a web request is made for (digest, basic or login cookie), login sessions, revoked
// nonces, the challenge answer, and the login and logout pages.
#pragma once
#include <cstdint>
#include <microhttpd.h>

struct HttpRequest;

enum { WEB_LEVEL_NONE = 0, WEB_LEVEL_VIEW = 1, WEB_LEVEL_CAMERA = 2, WEB_LEVEL_STREAM_CONTROL = 3,
       WEB_LEVEL_STREAM_CONFIG = 4, WEB_LEVEL_ADMIN = 5, WEB_LEVEL_DEMO = 6 };

#define AUTH_REALM "7160"
#define AUTH_OPAQUE "7c3e9a0f51d2b84e6a07c19d3f5b2e80a4d61c97"
enum { AUTH_NONCE_TIMEOUT = 300, LOGIN_SESSIONS = 10, REVOKED_NONCES = 16, REVOKED_NONCE_MAX = 64 };

enum SessionState : uint32_t { SESSION_LOGGED_OUT = 0, SESSION_PENDING = 1, SESSION_LOGGED_IN = 2 };

struct LoginSession {
    uint32_t addr;          // client IPv4 address as the socket gives it
    char token[17];         // 16 lowercase hex digits
    char user[20];
    uint32_t state;
};

// The user the request is made for (owned by the caller, free()) or null for the guest.
// ok: 1 accepted, 0 refused, -1 digest nonce invalid or stale.
char *auth_get_user(MHD_Connection *c, int *ok);
MHD_Result queue_auth_fail(MHD_Connection *c, int result);
int session_find(MHD_Connection *c);
int session_create(MHD_Connection *c, const char *user);
int revoked_nonce_find(MHD_Connection *c, int add);
int get_login_func(HttpRequest *req);
int get_logout_func(HttpRequest *req);

// True while no named user is an Admin: the device is open (the guest is Admin) and the guest
// may create the first user.
bool auth_device_open();

// Whether `level` may do what needs `needed`: Demo never writes.
bool auth_write_allowed(int level, int needed);

// For tests.
const LoginSession *session_slot(int index);
void auth_reset();
