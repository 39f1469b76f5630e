// Multicast RTP: one channel's H.264 and the AAC audio sent to the channel's UDP address and
// four ports, published as two passive RTSP sessions. The RTSP thread owns every object; the
// UDP sender thread asks it to start and stop playing.
#pragma once
#include "rtsp/liveMedia.h"

struct ParamBlock;
struct StreamRunState;
class StreamDeviceSource;

class Multicaster {
public:
    static Multicaster *createNew(UsageEnvironment &env, RTSPServer *server, int channel);
    ~Multicaster();
    void startPlaying();
    void stopPlaying();
    bool isPlaying() const { return fVideoSource != nullptr; }
    const char *sessionName() const { return fName; }

private:
    Multicaster(UsageEnvironment &env, RTSPServer *server, int channel);
    void pointGroupsocks();

    UsageEnvironment &fEnv;
    RTSPServer *fServer;
    int fChannel;
    char fName[64];
    Groupsock *fGroupsocks[4] = {};   // video RTP, video RTCP, audio RTP, audio RTCP
    H264VideoRTPSink *fVideoSink = nullptr;
    MPEG4GenericRTPSink *fAudioSink = nullptr;
    RTCPInstance *fVideoRTCP = nullptr;
    RTCPInstance *fAudioRTCP = nullptr;
    ServerMediaSession *fSessions[2] = {};
    StreamDeviceSource *fVideoSource = nullptr;
    H264VideoStreamDiscreteFramer *fFramer = nullptr;
    StreamDeviceSource *fAudioSource = nullptr;
};

// On the RTSP thread: made after the server's sessions, and ended before the server closes.
// A channel that was playing starts again on the new instance.
void multicast_build(UsageEnvironment &env, RTSPServer *server);
void multicast_teardown();

// On the UDP sender thread of channel n: plays until the run state stops or quit. 1 when quit
// came before the instance existed.
int multicast_run(int channel, ParamBlock *params, StreamRunState *rs);
