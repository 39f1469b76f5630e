// Everything the streaming code needs from the RTSP/RTP library.
#pragma once
#include "rtsp/Groupsock.h"
#include "rtsp/H264.h"
#include "rtsp/MPEG4GenericRTPSink.h"
#include "rtsp/Media.h"
#include "rtsp/RTCP.h"
#include "rtsp/RTPSink.h"
#include "rtsp/RTSPMessage.h"
#include "rtsp/RTSPServer.h"
#include "rtsp/ServerMediaSession.h"
#include "rtsp/UsageEnvironment.h"
