// One RTSP server thread fanning one live H.264 stream out to many TCP-interleaved clients on
// loopback. Reports the rate set and the rate each client received on the wire (mean), the
// server thread's CPU time per client-second (only when the received rate reaches 80% of the set
// one) and the share of the produced frames that the worst client received.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <sys/epoll.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "rtsp/liveMedia.h"

namespace {

const uint8_t kSPS[] = {0x67, 0x42, 0xc0, 0x1e, 0xd9, 0x00, 0xa0, 0x47, 0xfe, 0xc8};
const uint8_t kPPS[] = {0x68, 0xce, 0x3c, 0x80};

// Frames come from a producer thread, as from the encoder: queued, then announced by a trigger.
struct FrameQueue {
    std::mutex m;
    std::deque<std::vector<uint8_t>> frames;
};

class LiveSource : public FramedSource {
public:
    LiveSource(UsageEnvironment &env, FrameQueue *q, EventTriggerId *trigger) : FramedSource(env), fQ(q)
    {
        *trigger = envir().taskScheduler().createEventTrigger(deliver0);
        fTrigger = *trigger;
    }
    ~LiveSource() override { envir().taskScheduler().deleteEventTrigger(fTrigger); }
    static LiveSource *current;

protected:
    void doGetNextFrame() override { deliver(); }

private:
    static void deliver0(void *p)
    {
        if (current && current->isCurrentlyAwaitingData())
            current->deliver();
    }
    void deliver()
    {
        std::vector<uint8_t> f;
        {
            std::lock_guard<std::mutex> g(fQ->m);
            if (fQ->frames.empty())
                return;
            f = std::move(fQ->frames.front());
            fQ->frames.pop_front();
        }
        fFrameSize = std::min<unsigned>((unsigned)f.size(), fMaxSize);
        memcpy(fTo, f.data(), fFrameSize);
        gettimeofday(&fPresentationTime, nullptr);
        afterGetting(this);
    }
    FrameQueue *fQ;
    EventTriggerId fTrigger;
};
LiveSource *LiveSource::current;

struct Shared {
    FrameQueue q;
    EventTriggerId trigger = 0;
    TaskScheduler *sched = nullptr;
};

class LiveSubsession : public OnDemandServerMediaSubsession {
public:
    LiveSubsession(UsageEnvironment &env, Shared *sh) : OnDemandServerMediaSubsession(env, true, 26970), fSh(sh) {}

protected:
    FramedSource *createNewStreamSource(unsigned, unsigned &estBitrate) override
    {
        estBitrate = 8000;
        LiveSource::current = new LiveSource(envir(), &fSh->q, &fSh->trigger);
        return H264VideoStreamDiscreteFramer::createNew(envir(), LiveSource::current);
    }
    RTPSink *createNewRTPSink(Groupsock *gs, unsigned char pt, FramedSource *) override
    {
        OutPacketBuffer::maxSize = 1000000;
        H264VideoRTPSink *s = H264VideoRTPSink::createNew(envir(), gs, pt, kSPS, sizeof kSPS, kPPS, sizeof kPPS);
        s->setPacketSizes(1400 - 28, 1400 - 28);
        return s;
    }
    Shared *fSh;
};

int64_t thread_cpu_us(pthread_t t)
{
    clockid_t c;
    pthread_getcpuclockid(t, &c);
    struct timespec ts;
    clock_gettime(c, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

std::string rtsp_roundtrip(int s, const std::string &req)
{
    send(s, req.data(), req.size(), MSG_NOSIGNAL);
    std::string in;
    char b[4096];
    while (in.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(s, b, sizeof b, 0);
        if (n <= 0)
            break;
        in.append(b, (size_t)n);
    }
    return in;
}

void BM_RtspFanout(benchmark::State &state)
{
    const int clients = (int)state.range(0);
    const int mbps = (int)state.range(1);
    const int seconds = 3;
    for (auto _ : state) {
        Shared sh;
        volatile uint8_t stop = 0;
        std::atomic<int> port{0};
        std::thread server([&] {
            BasicTaskScheduler *sched = BasicTaskScheduler::createNew(10000);
            UsageEnvironment *env = BasicUsageEnvironment::createNew(*sched);
            sh.sched = sched;
            RTSPServer *srv = RTSPServer::createNew(*env, Port(0), nullptr, 65);
            ServerMediaSession *sms = ServerMediaSession::createNew(*env, "live.h264");
            sms->addSubsession(new LiveSubsession(*env, &sh));
            srv->addServerMediaSession(sms);
            port = srv->port();
            sched->doEventLoop(&stop);
            Medium::close(srv);
            env->reclaim();
            delete sched;
        });
        while (port == 0)
            usleep(1000);
        pthread_t serverThread = server.native_handle();

        std::string base = "rtsp://127.0.0.1:" + std::to_string(port.load()) + "/live.h264";
        std::vector<int> socks;
        int ep = epoll_create1(0);
        for (int i = 0; i < clients; i++) {
            int s = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons((uint16_t)port.load());
            connect(s, (struct sockaddr *)&a, sizeof a);
            std::string r = rtsp_roundtrip(s, "SETUP " + base + "/track1 RTSP/1.0\r\nCSeq: 1\r\nTransport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
            size_t p = r.find("Session: ");
            std::string session = p == std::string::npos ? "" : r.substr(p + 9, r.find_first_of(";\r", p + 9) - p - 9);
            rtsp_roundtrip(s, "PLAY " + base + " RTSP/1.0\r\nCSeq: 2\r\nSession: " + session + "\r\n\r\n");
            socks.push_back(s);
            struct epoll_event e = {};
            e.events = EPOLLIN;
            e.data.u32 = (uint32_t)i;
            epoll_ctl(ep, EPOLL_CTL_ADD, s, &e);
        }

        // The producer starts after every client plays and stops after the window, and the
        // clients read until the server falls silent, so each should get every frame.
        std::atomic<int> produced{0};
        std::vector<std::string> buf(clients);
        std::vector<int> frames(clients, 0);
        uint64_t received = 0;
        const size_t frameBytes = (size_t)mbps * 1000000 / 8 / 25;
        std::thread producer([&] {
            std::vector<uint8_t> f(frameBytes, 0x5a);
            f[0] = 0x65;
            struct timespec next;
            clock_gettime(CLOCK_MONOTONIC, &next);
            for (int i = 0; i < 25 * seconds; i++) {
                next.tv_nsec += 40000000;
                if (next.tv_nsec >= 1000000000)
                    next.tv_nsec -= 1000000000, next.tv_sec++;
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
                {
                    std::lock_guard<std::mutex> g(sh.q.m);
                    sh.q.frames.push_back(f);
                }
                produced++;
                sh.sched->triggerEvent(sh.trigger, nullptr);
            }
        });

        int64_t cpu0 = thread_cpu_us(serverThread);
        char b[262144];
        int idleRounds = 0;
        for (;;) {
            struct epoll_event ev[64];
            int n = epoll_wait(ep, ev, 64, 100);
            if (n <= 0 && produced == 25 * seconds && ++idleRounds >= 3)
                break;
            if (n > 0)
                idleRounds = 0;
            for (int k = 0; k < n; k++) {
                int i = (int)ev[k].data.u32;
                ssize_t r = recv(socks[i], b, sizeof b, MSG_DONTWAIT);
                if (r <= 0)
                    continue;
                received += (uint64_t)r;
                std::string &in = buf[i];
                in.append(b, (size_t)r);
                size_t off = 0;
                while (in.size() - off >= 4 && in[off] == '$') {
                    size_t len = (uint8_t)in[off + 2] << 8 | (uint8_t)in[off + 3];
                    if (in.size() - off < 4 + len)
                        break;
                    if (in[off + 1] == 0 && len >= 12 && ((uint8_t)in[off + 5] & 0x80))
                        frames[i]++;
                    off += 4 + len;
                }
                in.erase(0, off);
            }
        }
        int64_t cpu = thread_cpu_us(serverThread) - cpu0;
        int producedInWindow = produced;
        producer.join();
        for (int s : socks)
            close(s);
        close(ep);
        stop = 1;
        server.join();

        int worst = *std::min_element(frames.begin(), frames.end());
        double measured = received * 8.0 / seconds / clients;
        state.counters["set_bps"] = mbps * 1e6;
        state.counters["measured_bps"] = measured;
        if (measured >= 0.8 * mbps * 1e6)
            state.counters["server_cpu_us_per_client_s"] = (double)cpu / (clients * seconds);
        state.counters["frames_produced"] = producedInWindow;
        state.counters["frames_worst_client"] = worst;
        state.counters["worst_share"] = producedInWindow ? (double)worst / producedInWindow : 0;
    }
}

BENCHMARK(BM_RtspFanout)->ArgNames({"clients", "mbps"})->ArgsProduct({{1, 16, 64}, {2, 8}})->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace
