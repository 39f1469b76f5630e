// The RTSP server thread: the fixed live sessions, the custom session and the user database.
#pragma once
#include "core/param.h"

class UserAuthenticationDatabase;
class UsageEnvironment;
class RTSPServer;

// The settings every RTSP class reads in place; set when the thread starts.
extern ParamBlock *rtsp_params;
// rtsp_params, or the process's settings block before the thread has started (tests).
ParamBlock *rtsp_param_block();

void *rtpThrFxn(void *arg);

// A database of the users with a name and a permission above 0; null when there are none or
// "RTSP_DisableAuth" is set (no authentication).
UserAuthenticationDatabase *rtsp_user_database_new();
// Registers the fixed sessions and the custom one on the server.
void rtsp_add_sessions(UsageEnvironment &env, RTSPServer *server);
