// Test-only RTSP server over the library: streams an H.264 elementary stream and an ADTS AAC
// file (looped, at their own pace) so that real clients can be pointed at it.
// Usage: rtsplib_server PORT VIDEO.h264 AUDIO.aac [RECLAIM_SECONDS [USER PASS]]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "rtsp/liveMedia.h"
#include "streams/annexb.h"

static std::vector<uint8_t> read_file(const char *path)
{
    std::vector<uint8_t> d;
    FILE *f = fopen(path, "rb");
    if (!f)
        return d;
    uint8_t b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        d.insert(d.end(), b, b + n);
    fclose(f);
    return d;
}

// NAL units of an Annex B stream, without start codes.
static std::vector<std::vector<uint8_t>> split_nals(const std::vector<uint8_t> &d)
{
    std::vector<std::vector<uint8_t>> out;
    size_t pos = 0, len;
    const uint8_t *nal;
    while (annexb_next_nal(d.data(), d.size(), &pos, &nal, &len))
        if (len || pos < d.size())   // a start code at the very end carries no unit
            out.emplace_back(nal, nal + len);
    return out;
}

static std::vector<std::vector<uint8_t>> g_nals, g_adts;

// Hands out units in order, at the pace of their media: the next unit waits for its time.
class PacedSource : public FramedSource {
public:
    PacedSource(UsageEnvironment &env, const std::vector<std::vector<uint8_t>> &units, bool video)
        : FramedSource(env), fUnits(units), fVideo(video)
    {
        gettimeofday(&fStart, nullptr);
    }

protected:
    void doGetNextFrame() override
    {
        int64_t due = fVideo ? fTick * 40000 : fTick * 1024 * 1000000 / 48000;
        struct timeval now;
        gettimeofday(&now, nullptr);
        int64_t elapsed = (int64_t)(now.tv_sec - fStart.tv_sec) * 1000000 + (now.tv_usec - fStart.tv_usec);
        if (elapsed < due) {
            nextTask() = envir().taskScheduler().scheduleDelayedTask(due - elapsed, deliver0, this);
            return;
        }
        deliver();
    }

private:
    static void deliver0(void *p)
    {
        PacedSource *s = static_cast<PacedSource *>(p);
        s->nextTask() = nullptr;
        s->deliver();
    }
    void deliver()
    {
        const auto &u = fUnits[fIndex % fUnits.size()];
        int64_t us = fVideo ? fTick * 40000 : fTick * 1024 * 1000000 / 48000;
        fPresentationTime.tv_sec = fStart.tv_sec + (fStart.tv_usec + us) / 1000000;
        fPresentationTime.tv_usec = (fStart.tv_usec + us) % 1000000;
        fFrameSize = (unsigned)u.size();
        fNumTruncatedBytes = 0;
        if (fFrameSize > fMaxSize) {
            fNumTruncatedBytes = fFrameSize - fMaxSize;
            fFrameSize = fMaxSize;
        }
        memcpy(fTo, u.data(), fFrameSize);
        unsigned type = u.empty() ? 0 : u[0] & 0x1f;
        fIndex++;
        if (!fVideo || type == 1 || type == 5)
            fTick++;
        afterGetting(this);
    }
    const std::vector<std::vector<uint8_t>> &fUnits;
    bool fVideo;
    struct timeval fStart;
    size_t fIndex = 0;
    int64_t fTick = 0;
};

class VideoSubsession : public OnDemandServerMediaSubsession {
public:
    VideoSubsession(UsageEnvironment &env) : OnDemandServerMediaSubsession(env, true) {}

protected:
    FramedSource *createNewStreamSource(unsigned, unsigned &estBitrate) override
    {
        estBitrate = 1000;
        return H264VideoStreamDiscreteFramer::createNew(envir(), new PacedSource(envir(), g_nals, true));
    }
    RTPSink *createNewRTPSink(Groupsock *gs, unsigned char pt, FramedSource *) override
    {
        OutPacketBuffer::maxSize = 1000000;
        H264VideoRTPSink *sink = H264VideoRTPSink::createNew(envir(), gs, pt);
        const char *sz = getenv("RTSPLIB_PACKET_SIZE");
        if (sz && atoi(sz) >= 29)
            sink->setPacketSizes(atoi(sz) - 28, atoi(sz) - 28);
        return sink;
    }
    // Plays the sink until it has seen the parameter sets.
    const char *getAuxSDPLine(RTPSink *sink, FramedSource *source) override
    {
        if (!fAux.empty())
            return fAux.c_str();
        fDone = 0;
        fProbe = sink;
        sink->startPlaying(*source, afterProbe, this);
        poll(this);
        envir().taskScheduler().doEventLoop(&fDone);
        envir().taskScheduler().unscheduleDelayedTask(fPollTask);
        return fAux.empty() ? nullptr : fAux.c_str();
    }

private:
    static void afterProbe(void *p) { static_cast<VideoSubsession *>(p)->fDone = 1; }
    static void poll(void *p)
    {
        VideoSubsession *s = static_cast<VideoSubsession *>(p);
        s->fPollTask = nullptr;
        const char *a = s->fProbe->auxSDPLine();
        if (a) {
            s->fAux = a;
            s->fDone = 1;
            return;
        }
        s->fPollTask = s->envir().taskScheduler().scheduleDelayedTask(100000, poll, s);
    }
    std::string fAux;
    volatile uint8_t fDone = 0;
    RTPSink *fProbe = nullptr;
    TaskToken fPollTask = nullptr;
};

class AudioSubsession : public OnDemandServerMediaSubsession {
public:
    AudioSubsession(UsageEnvironment &env) : OnDemandServerMediaSubsession(env, true) {}

protected:
    FramedSource *createNewStreamSource(unsigned, unsigned &estBitrate) override
    {
        estBitrate = 128;
        return new PacedSource(envir(), g_adts, false);
    }
    RTPSink *createNewRTPSink(Groupsock *gs, unsigned char pt, FramedSource *) override
    {
        return MPEG4GenericRTPSink::createNew(envir(), gs, pt, 48000, "audio", "AAC-hbr", "1190", 2);
    }
};

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: %s PORT VIDEO.h264 AUDIO.aac [RECLAIM [USER PASS]]\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_DFL);   // a stray SIGPIPE must kill us, so tests see it
    g_nals = split_nals(read_file(argv[2]));
    std::vector<uint8_t> a = read_file(argv[3]);
    for (size_t i = 0; i + 7 <= a.size();) {
        size_t len = ((size_t)(a[i + 3] & 3) << 11) | ((size_t)a[i + 4] << 3) | (a[i + 5] >> 5);
        if (a[i] != 0xff || len < 7 || i + len > a.size())
            break;
        g_adts.emplace_back(a.begin() + i, a.begin() + i + len);
        i += len;
    }
    if (g_nals.empty() || g_adts.empty()) {
        fprintf(stderr, "no media\n");
        return 2;
    }
    BasicTaskScheduler *scheduler = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *env = BasicUsageEnvironment::createNew(*scheduler);
    UserAuthenticationDatabase *db = nullptr;
    if (argc >= 7) {
        db = new UserAuthenticationDatabase();
        db->addUserRecord(argv[5], argv[6]);
    }
    unsigned reclaim = argc >= 5 ? (unsigned)atoi(argv[4]) : 65;
    RTSPServer *server = RTSPServer::createNew(*env, Port((portNumBits)atoi(argv[1])), db, reclaim);
    if (!server) {
        *env << "Failed to create RTSP server: " << env->getResultMsg() << "\n";
        return 1;
    }
    ServerMediaSession *v = ServerMediaSession::createNew(*env, "video.h264", "video.h264", "test");
    v->addSubsession(new VideoSubsession(*env));
    server->addServerMediaSession(v);
    ServerMediaSession *au = ServerMediaSession::createNew(*env, "audio.aac", "audio.aac", "test");
    au->addSubsession(new AudioSubsession(*env));
    server->addServerMediaSession(au);
    ServerMediaSession *av = ServerMediaSession::createNew(*env, "av.h264_aac", "av.h264_aac", "test");
    av->addSubsession(new VideoSubsession(*env));
    av->addSubsession(new AudioSubsession(*env));
    server->addServerMediaSession(av);
    *env << "RTSP server created on port " << (int)server->port() << "\n";
    scheduler->doEventLoop();
    return 0;
}
