// Plays an arbitrary client against a live RTSP server on loopback: the bytes go down one
// connection, the server answers, and it must neither crash nor stop serving.
#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "rtsp/liveMedia.h"

namespace {

const uint8_t kSPS[] = {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8};
const uint8_t kPPS[] = {0x68, 0xce, 0x3c, 0x80};

class IdleSource : public FramedSource {
public:
    explicit IdleSource(UsageEnvironment &env) : FramedSource(env) {}

protected:
    void doGetNextFrame() override {}   // a stream whose producer never delivers
};

class Sub : public OnDemandServerMediaSubsession {
public:
    explicit Sub(UsageEnvironment &env) : OnDemandServerMediaSubsession(env, true, 36970) {}

protected:
    FramedSource *createNewStreamSource(unsigned, unsigned &estBitrate) override
    {
        estBitrate = 500;
        return H264VideoStreamDiscreteFramer::createNew(envir(), new IdleSource(envir()));
    }
    RTPSink *createNewRTPSink(Groupsock *gs, unsigned char pt, FramedSource *) override
    {
        return H264VideoRTPSink::createNew(envir(), gs, pt, kSPS, sizeof kSPS, kPPS, sizeof kPPS);
    }
};

BasicTaskScheduler *sched;
RTSPServer *server;

void setup()
{
    sched = BasicTaskScheduler::createNew(10000);
    UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
    UserAuthenticationDatabase *db = nullptr;
    if (getenv("RTSP_FUZZ_AUTH")) {
        db = new UserAuthenticationDatabase();
        db->addUserRecord("u", "p");
    }
    server = RTSPServer::createNew(*env, Port(0), db, 2);
    if (!server)
        abort();
    ServerMediaSession *sms = ServerMediaSession::createNew(*env, "s");
    sms->addSubsession(new Sub(*env));
    sms->addSubsession(new Sub(*env));
    server->addServerMediaSession(sms);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!server)
        setup();
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(server->port());
    // libFuzzer's timer signal (no SA_RESTART) can cut the connect short while the connection
    // goes on being made: ask again until it says so.
    int r = connect(s, (struct sockaddr *)&a, sizeof a);
    while (r != 0 && (errno == EINTR || errno == EALREADY))
        r = connect(s, (struct sockaddr *)&a, sizeof a);
    if (r != 0 && errno != EISCONN) {
        perror("connect");
        abort();   // the server stopped accepting
    }
    sched->SingleStep(1000);
    send(s, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(s, SHUT_WR);   // the server sees the end and must close its side
    char buf[65536];
    bool closed = false;
    for (int i = 0; i < 200 && !closed; i++) {
        sched->SingleStep(1000);
        ssize_t n;
        while ((n = recv(s, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        }
        closed = n == 0;
    }
    if (!closed)
        abort();   // a connection the server never let go of
    close(s);
    for (int i = 0; i < 3; i++)
        sched->SingleStep(1000);
    return 0;
}
