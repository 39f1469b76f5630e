#include "rtsp/RTSPServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/uio.h>
#include <unistd.h>

extern "C" {
#include <libavutil/md5.h>
}

#include "core/log.h"
#include "rtsp/RTSPMessage.h"

static const char *PUBLIC_METHODS = "OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER";
enum { MAX_CONNECTIONS = 256 };
// One address may hold a quarter of the table: a host that opens connections and trickles
// bytes cannot lock out the others.
enum { MAX_CONNECTIONS_PER_ADDRESS = MAX_CONNECTIONS / 4 };
// A request (or an interleaved frame) must arrive whole within this time of its first byte.
enum { REQUEST_DEADLINE_US = 10000000 };
// Digest nonces are kept per client address, so requests from one address cannot evict the
// nonce another address is answering.
enum { MAX_NONCES_PER_ADDRESS = 16, MAX_NONCE_ADDRESSES = 256 };
enum { INPUT_LIMIT = 4 + 65535 + RTSP_MAX_REQUEST_SIZE };
// A hard bound beside the lag rule of the RTP interface (about one GOP): beyond it RTP for a
// slow reader is dropped.
enum { OUTPUT_BACKLOG_LIMIT = 16 << 20 };
enum { CONNECTION_SNDBUF = 256 << 10 };
enum { CLOSE_AFTER_FLUSH_LIMIT_US = 5000000 };   // a peer that will not read its last answer
// Connections put out for newcomers that have not gone yet: beyond this many the table's size
// holds as a hard limit.
enum { EVICTED_SLACK = 16 };

// Anyone on the network can make these lines: they come at a bounded rate.

static std::string md5_hex(const std::string &s)
{
    uint8_t d[16];
    av_md5_sum(d, (const uint8_t *)s.data(), s.size());
    char hex[33];
    for (int i = 0; i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", d[i]);
    return hex;
}

static std::string random_hex(unsigned bytes)
{
    uint8_t b[32] = {};
    if (bytes > sizeof b)
        bytes = sizeof b;
    if (getrandom(b, bytes, 0) != (ssize_t)bytes) {
        struct timeval tv;
        gettimeofday(&tv, nullptr);
        for (unsigned i = 0; i < bytes; i++)
            b[i] ^= (uint8_t)((tv.tv_usec >> (i % 3 * 8)) + i * 131);
    }
    std::string out;
    char h[3];
    for (unsigned i = 0; i < bytes; i++) {
        snprintf(h, sizeof h, "%02x", b[i]);
        out += h;
    }
    return out;
}

UserAuthenticationDatabase::UserAuthenticationDatabase(const char *realm, bool passwordsAreMD5)
    : fRealm(realm ? realm : "k7160 RTSP server"), fPasswordsAreMD5(passwordsAreMD5)
{
}

void UserAuthenticationDatabase::addUserRecord(const char *username, const char *password, bool admin)
{
    if (!username || !password)
        return;
    fUsers[username] = password;
    if (admin)
        fAdmins.insert(username);
    else
        fAdmins.erase(username);
}

void UserAuthenticationDatabase::removeUserRecord(const char *username)
{
    if (username) {
        fUsers.erase(username);
        fAdmins.erase(username);
    }
}

bool UserAuthenticationDatabase::isAdmin(const char *username) const
{
    return username && fAdmins.count(username);
}

const char *UserAuthenticationDatabase::lookupPassword(const char *username) const
{
    auto it = fUsers.find(username ? username : "");
    return it == fUsers.end() ? nullptr : it->second.c_str();
}

// ---- client session ----

class GenericMediaServer::ClientSession {
public:
    ClientSession(GenericMediaServer *server, ServerMediaSession *sms, const std::string &id, unsigned num)
        : fServer(server), fSMS(sms), fId(id), fNum(num), fOrigin(log_origin())
    {
        noteLiveness();
    }
    ~ClientSession()
    {
        fServer->envir().taskScheduler().unscheduleDelayedTask(fLivenessTask);
        for (auto &s : fStreams)
            s.sub->deleteStream(fNum, s.token);
    }
    void noteLiveness()
    {
        fLastSignUs = rtsp_monotonic_us();
        if (fServer->fReclamationSeconds == 0)
            return;
        fServer->envir().taskScheduler().rescheduleDelayedTask(fLivenessTask, (int64_t)fServer->fReclamationSeconds * 1000000,
                                                              livenessTimeout, this);
    }
    static void noteLivenessFunc(void *clientData) { static_cast<ClientSession *>(clientData)->noteLiveness(); }
    // From PLAY to PAUSE or its end: a session whose client has gone silent is reclaimed anyway.
    // Some players report RTCP only every few hundred kilobytes and keep the session alive
    // with GET_PARAMETER meanwhile, so the requests count as much as the reports.
    bool isPlayer() const { return fPlaying; }
    // Its client was told the session lives `timeout` seconds without a sign: paused, it keeps
    // its place for that long (the liveness timer ends it), and so does its connection.
    bool holdsPlace() const { return fPlaying || fPaused; }
    static void livenessTimeout(void *clientData)
    {
        ClientSession *cs = static_cast<ClientSession *>(clientData);
        cs->fLivenessTask = nullptr;
        LogOrigin was = log_origin_swap(cs->fOrigin);
        log_printf("rtsp session %s of \"%s\" timed out\n", cs->fId.c_str(), cs->fSMS->streamName());
        cs->fServer->deleteClientSession(cs);
        log_origin_swap(was);
    }

    struct Stream {
        ServerMediaSubsession *sub;
        void *token;
        bool tcp;
    };
    GenericMediaServer *fServer;
    ServerMediaSession *fSMS;
    std::string fId;
    unsigned fNum;
    std::vector<Stream> fStreams;
    RTPStreamConnection *fTCPConn = nullptr;
    void *fOwnerConn = nullptr;   // the connection that set it up, while it lasts
    in_addr_t fOwnerAddr = 0;     // its client's address and user: a UDP client may come back
    std::string fOwnerUser;       // on a new connection, nobody else may
    TaskToken fLivenessTask = nullptr;
    bool fPlaying = false;        // PLAY answered and no PAUSE since
    bool fPaused = false;         // PAUSE after a PLAY, and no PLAY since
    LogOrigin fOrigin;            // the client whose request made it: its end is charged to it
    int64_t fLastSignUs = 0;      // the client's last request or report
};

void GenericMediaServer::deleteClientSession(ClientSession *cs)
{
    fClientSessions.erase(cs->fId);
    delete cs;
}

// ---- connection ----

class GenericMediaServer::ClientConnection : public RTPStreamConnection {
public:
    ClientConnection(GenericMediaServer *server, int sock, const struct sockaddr_in &peer) : fServer(server), fSocket(sock), fPeer(peer)
    {
        struct sockaddr_in local = {};
        socklen_t len = sizeof local;
        getsockname(sock, (struct sockaddr *)&local, &len);
        fLocal = local.sin_addr;
        inet_ntop(AF_INET, &peer.sin_addr, fPeerName, sizeof fPeerName);
        updateInterest();
    }
    ~ClientConnection() override
    {
        fServer->envir().taskScheduler().unscheduleDelayedTask(fCloseTask);
        fServer->envir().taskScheduler().unscheduleDelayedTask(fRequestTask);
        fServer->envir().taskScheduler().disableBackgroundHandling(fSocket);
        ::close(fSocket);
    }

    bool sendInterleaved(uint8_t channelId, const uint8_t *data, unsigned size) override
    {
        if (fClosing || size > 65535)
            return false;
        if (fQueuedBytes > OUTPUT_BACKLOG_LIMIT)
            return false;   // whole packets only, never a torn frame
        OutItem item;
        item.text.reserve(4 + size);
        item.text += '$';
        item.text += (char)channelId;
        item.text += (char)(size >> 8);
        item.text += (char)size;
        item.text.append((const char *)data, size);
        push(std::move(item));
        return true;
    }

    bool sendBatch(uint8_t channelId, const RTPPacketBatchRef &batch, unsigned first, unsigned end) override
    {
        if (fClosing || first >= end)
            return false;
        if (fQueuedBytes > OUTPUT_BACKLOG_LIMIT)
            return false;
        OutItem item;
        item.batch = batch;
        item.channel = channelId;
        item.next = first;
        item.end = end;
        item.bytes = batch->framedBytes(first, end);
        push(std::move(item));
        return true;
    }

    int64_t backlogAgeUs(int64_t nowUs) const override
    {
        for (size_t k = 0; k < fQueue.size(); k++)
            if (fQueue[k].batch)
                return nowUs - fQueue[k].batch->createdUs;
        return 0;
    }

    unsigned dropBacklog(uint8_t channelId) override
    {
        unsigned dropped = 0;
        for (size_t k = 0; k < fQueue.size();) {
            OutItem *it = &fQueue[k];
            if (!it->batch || it->channel != channelId) {
                ++k;
                continue;
            }
            // A packet half written stays whole: the stream's framing depends on it.
            unsigned keep = k == 0 && it->offset > 0 ? it->next + 1 : it->next;
            for (unsigned i = keep; i < it->end; i++) {
                size_t b = 4 + it->batch->packets[i].size;
                it->bytes -= b;
                fQueuedBytes -= b;
                dropped++;
            }
            it->end = keep;
            if (it->next >= it->end)
                fQueue.erase(k);
            else
                ++k;
        }
        return dropped;
    }

    const char *peerName() const override { return fPeerName; }

    void noteOffered(size_t bytes) override
    {
        // Called for every batch, also those dropped for a lagging player: they count as offered.
        fOffered += bytes;
        evict_flow_note(&fFlow, fOffered, evict_socket_taken(fSocket, fTaken), rtsp_monotonic_us());
    }

    void sendText(const std::string &text)
    {
        if (fClosing && fCloseAfterFlush == false)
            return;
        OutItem item;
        item.text = text;
        push(std::move(item));
    }

    static void incomingHandler(void *clientData, int mask) { static_cast<ClientConnection *>(clientData)->incoming(mask); }

    void incoming(int mask)
    {
        if (mask & SOCKET_WRITABLE)
            flush();
        if (!(mask & SOCKET_READABLE) || fClosing || fBusy)
            return;
        char buf[16384];
        bool gone = false;
        for (int i = 0; i < 8; i++) {
            size_t room = INPUT_LIMIT - fIn.size();
            if (room == 0)
                break;
            ssize_t n = recv(fSocket, buf, room < sizeof buf ? room : sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                gone = true;
                break;
            }
            if (n < 0)
                break;
            fIn.append(buf, (size_t)n);
            fLastActivity = rtsp_monotonic_us();
        }
        // A client may send TEARDOWN and close at once: handle what came before the end.
        size_t before = fIn.size();
        processInput();
        if (gone) {
            scheduleClose();   // the client is gone: its TCP-carried sessions go with it
            return;
        }
        noteRequestProgress(before);
    }

    // Any byte used to reset the idle timer, so a peer trickling one byte at a time held its
    // slot for ever. A request has its deadline from its first byte; a client that only reads
    // its stream has no partial request and is never cut by it.
    void noteRequestProgress(size_t hadBeforeProcessing)
    {
        TaskScheduler &ts = fServer->envir().taskScheduler();
        if (fIn.empty() || fClosing) {
            ts.unscheduleDelayedTask(fRequestTask);
            fHeadSinceUs = 0;
            return;
        }
        // A request was used up and the rest begins the next one: its time starts now.
        if (fRequestTask == nullptr || fIn.size() < hadBeforeProcessing) {
            ts.rescheduleDelayedTask(fRequestTask, REQUEST_DEADLINE_US, requestTimeout, this);
            fHeadSinceUs = rtsp_monotonic_us();
        }
    }

    static void requestTimeout(void *clientData)
    {
        ClientConnection *c = static_cast<ClientConnection *>(clientData);
        c->fRequestTask = nullptr;
        if (c->fIn.empty() || c->fClosing)
            return;
        if (c->fBusy || c->fServer->keepLate()) {   // being answered (a probe runs), or kept for a newcomer
            c->fRequestTask = c->fServer->envir().taskScheduler().scheduleDelayedTask(1000000, requestTimeout, c);
            return;
        }
        LogOrigin was = log_origin_swap(c->fOrigin);
        log_printf("rtsp: request from %s not complete within %d s (%zu bytes), connection closed\n", inet_ntoa(c->fPeer.sin_addr),
                   REQUEST_DEADLINE_US / 1000000, c->fIn.size());
        log_origin_swap(was);
        c->fIn.clear();
        c->scheduleClose();
    }

    void processInput();
    void handleRequest(const RTSPRequest &req);

    // What waits is written in one system call where the socket takes it: the text, and for RTP
    // the shared packets as they lie framed in their batch (one piece for all the packets of a
    // frame), or with '$' headers of our own where the batch was framed for another channel.
    struct OutItem {
        std::string text;              // an answer, or one copied RTCP packet (no batch)
        RTPPacketBatchRef batch;
        uint8_t channel = 0;
        unsigned next = 0, end = 0;    // batch packets still to write
        size_t offset = 0;             // bytes written of the text, or of the packet `next` with its header
        size_t bytes = 0;              // batch bytes still to write, headers included
    };

    // The waiting items in a ring that only grows: queueing a frame for a client allocates nothing.
    class OutQueue {
    public:
        bool empty() const { return fCount == 0; }
        size_t size() const { return fCount; }
        OutItem &operator[](size_t i) { return fItems[(fHead + i) & (fItems.size() - 1)]; }
        const OutItem &operator[](size_t i) const { return fItems[(fHead + i) & (fItems.size() - 1)]; }
        OutItem &front() { return (*this)[0]; }
        void push_back(OutItem &&item)
        {
            if (fCount == fItems.size())
                grow();
            (*this)[fCount] = std::move(item);
            fCount++;
        }
        void pop_front()
        {
            front() = OutItem();   // lets go of its batch at once
            fHead = (fHead + 1) & (fItems.size() - 1);
            fCount--;
        }
        void erase(size_t i)
        {
            for (; i + 1 < fCount; i++)
                (*this)[i] = std::move((*this)[i + 1]);
            (*this)[fCount - 1] = OutItem();
            fCount--;
        }
        void clear()
        {
            while (fCount)
                pop_front();
        }

    private:
        void grow()
        {
            std::vector<OutItem> bigger(fItems.empty() ? 16 : fItems.size() * 2);
            for (size_t i = 0; i < fCount; i++)
                bigger[i] = std::move((*this)[i]);
            fItems.swap(bigger);
            fHead = 0;
        }
        std::vector<OutItem> fItems;   // a power of two in size
        size_t fHead = 0, fCount = 0;
    };

    void push(OutItem &&item)
    {
        bool idle = fQueue.empty();
        fQueuedBytes += item.batch ? item.bytes : item.text.size();
        fQueue.push_back(std::move(item));
        // With data already waiting the socket is full: the writable event writes it all.
        if (idle)
            writeQueue();
        updateInterest();
    }

    // False when the connection failed.
    bool writeQueue()
    {
        enum { MAX_IOV = 1024, MAX_HEADERS = MAX_IOV / 2 };
        struct iovec iov[MAX_IOV];
        uint8_t headers[MAX_HEADERS][4];
        while (!fQueue.empty()) {
            int n = 0, h = 0;
            size_t want = 0;
            for (size_t k = 0; k < fQueue.size() && n < MAX_IOV - 2 && h < MAX_HEADERS; ++k) {
                const OutItem *it = &fQueue[k];
                if (!it->batch) {
                    iov[n++] = {(void *)(it->text.data() + it->offset), it->text.size() - it->offset};
                    want += it->text.size() - it->offset;
                    continue;
                }
                if (it->channel == it->batch->channel) {
                    size_t len = it->batch->framedBytes(it->next, it->end) - it->offset;
                    iov[n++] = {(void *)(it->batch->framed(it->next) + it->offset), len};
                    want += len;
                    continue;
                }
                for (unsigned i = it->next; i < it->end && n < MAX_IOV - 2 && h < MAX_HEADERS; i++) {
                    unsigned size = it->batch->packets[i].size;
                    uint8_t *hd = headers[h++];
                    hd[0] = '$', hd[1] = it->channel, hd[2] = (uint8_t)(size >> 8), hd[3] = (uint8_t)size;
                    size_t off = i == it->next ? it->offset : 0;
                    if (off < 4) {
                        iov[n++] = {hd + off, 4 - off};
                        iov[n++] = {(void *)it->batch->packet(i), size};
                    } else {
                        iov[n++] = {(void *)(it->batch->packet(i) + off - 4), size - (off - 4)};
                    }
                    want += 4 + size - off;
                }
            }
            struct msghdr msg = {};
            msg.msg_iov = iov;
            msg.msg_iovlen = n;
            ssize_t r = sendmsg(fSocket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (r < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                    return true;
                fQueue.clear();
                fQueuedBytes = 0;
                scheduleClose();
                return false;
            }
            consume((size_t)r);
            fTaken += (uint64_t)r;
            if ((size_t)r < want)
                return true;   // the socket is full
        }
        return true;
    }

    void consume(size_t r)
    {
        fQueuedBytes -= r < fQueuedBytes ? r : fQueuedBytes;
        while (r > 0 && !fQueue.empty()) {
            OutItem &f = fQueue.front();
            if (!f.batch) {
                size_t take = f.text.size() - f.offset < r ? f.text.size() - f.offset : r;
                f.offset += take;
                r -= take;
                if (f.offset == f.text.size())
                    fQueue.pop_front();
                continue;
            }
            if (r >= f.bytes) {   // the whole rest of the frame went
                r -= f.bytes;
                fQueue.pop_front();
                continue;
            }
            size_t rest = 4 + f.batch->packets[f.next].size - f.offset;
            if (r < rest) {
                f.offset += r;
                f.bytes -= r;
                r = 0;
                break;
            }
            r -= rest;
            f.bytes -= rest;
            f.offset = 0;
            if (++f.next >= f.end)
                fQueue.pop_front();
        }
    }

    void flush()
    {
        if (!writeQueue())
            return;
        if (fQueue.empty() && fCloseAfterFlush)
            scheduleClose();
        updateInterest();
    }

    size_t pendingBytes() const { return fQueue.empty() ? 0 : fQueuedBytes ? fQueuedBytes : 1; }

    void updateInterest()
    {
        int cond = 0;
        if (!fBusy && !fClosing)
            cond |= SOCKET_READABLE;
        if (pendingBytes() > 0 && !(fClosing && !fCloseAfterFlush))
            cond |= SOCKET_WRITABLE;
        if (cond == fCond)
            return;
        fCond = cond;
        fServer->envir().taskScheduler().setBackgroundHandling(fSocket, cond, incomingHandler, this);
    }

    void closeAfterFlush()
    {
        fClosing = true;
        fCloseAfterFlush = true;
        if (pendingBytes() == 0) {
            scheduleClose();
            return;
        }
        fServer->envir().taskScheduler().rescheduleDelayedTask(fCloseTask, CLOSE_AFTER_FLUSH_LIMIT_US, closeTask, this);
        updateInterest();
    }

    void scheduleClose()
    {
        fClosing = true;
        fCloseAfterFlush = false;
        fServer->envir().taskScheduler().rescheduleDelayedTask(fCloseTask, 0, closeTask, this);
        updateInterest();
    }

    static void closeTask(void *clientData)
    {
        ClientConnection *c = static_cast<ClientConnection *>(clientData);
        c->fCloseTask = nullptr;
        if (c->fBusy) {   // still inside one of its own requests (a nested loop): later
            c->fCloseTask = c->fServer->envir().taskScheduler().scheduleDelayedTask(10000, closeTask, c);
            return;
        }
        c->fServer->closeConnection(c);
    }

    void respond(const RTSPRequest &req, const char *status, const std::string &headers = "", const std::string &body = "")
    {
        std::string r = std::string("RTSP/1.0 ") + status + "\r\n";
        if (req.hasCSeq)
            r += "CSeq: " + req.cseq + "\r\n";
        char date[64];
        time_t now = time(nullptr);
        struct tm tm;
        gmtime_r(&now, &tm);
        strftime(date, sizeof date, "Date: %a, %b %d %Y %H:%M:%S GMT\r\n", &tm);
        r += date;
        r += headers;
        if (!body.empty())
            r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        r += "\r\n";
        r += body;
        sendText(r);
    }

    bool authenticationOK(const RTSPRequest &req);
    bool digestValid(const RTSPRequest &req);   // sets fUser when it is
    ClientSession *lookupSession(const RTSPRequest &req, bool &missing);
    bool ownsSession(const ClientSession *cs);
    bool roomForSession(const RTSPRequest &req);

    GenericMediaServer *fServer;
    int fSocket;
    struct sockaddr_in fPeer;
    struct in_addr fLocal;
    std::string fIn;
    OutQueue fQueue;
    size_t fQueuedBytes = 0;
    char fPeerName[INET_ADDRSTRLEN] = "";
    std::string fUser;   // the user this connection last authenticated as
    // Who sent its last request: what it causes meanwhile and its end are charged to them.
    LogOrigin fOrigin = log_origin_client(nullptr, false);
    bool fBusy = false, fClosing = false, fCloseAfterFlush = false;
    bool fSessionRefusalLogged = false;   // a client repeating its SETUP must not flood the log
    int fCond = -1;
    TaskToken fCloseTask = nullptr;
    TaskToken fRequestTask = nullptr;
    int64_t fLastActivity = rtsp_monotonic_us();
    int64_t fLastRequestUs = rtsp_monotonic_us();   // opened, or its last whole request answered
    int64_t fHeadSinceUs = 0;                       // first byte of a request not yet whole; 0: none
    uint64_t fOffered = 0, fTaken = 0;              // RTP meant for it, and bytes written into its socket
    EvictFlow fFlow = {};
};

bool GenericMediaServer::keepLate() const
{
    unsigned open = 0;
    for (auto &kv : fConnections)
        open += !kv.first->fClosing;
    return evict_keep_late(open, MAX_CONNECTIONS);
}

void GenericMediaServer::idleConnectionCheck(void *clientData)
{
    // A connection that carries no session and has said nothing for the reclamation time is
    // closed, so idle sockets cannot use up the connection table.
    GenericMediaServer *server = static_cast<GenericMediaServer *>(clientData);
    server->fIdleCheckTask = nullptr;
    int64_t limit = rtsp_monotonic_us() - (int64_t)server->fReclamationSeconds * 1000000;
    std::vector<ClientConnection *> idle;
    bool keep = server->keepLate();
    for (auto &kv : server->fConnections) {
        ClientConnection *c = kv.first;
        if (c->fLastActivity > limit || c->fBusy || c->fClosing || keep)
            continue;
        bool carries = false;
        for (auto &cs : server->fClientSessions)
            if (cs.second->fTCPConn == c || cs.second->fOwnerConn == c)
                carries = true;
        if (!carries)
            idle.push_back(c);
    }
    for (ClientConnection *c : idle) {
        LogOrigin was = log_origin_swap(c->fOrigin);
        log_printf("rtsp: idle connection from %s closed\n", inet_ntoa(c->fPeer.sin_addr));
        log_origin_swap(was);
        c->scheduleClose();
    }
    server->scheduleIdleCheck();
}

void GenericMediaServer::scheduleIdleCheck()
{
    if (fReclamationSeconds == 0)
        return;
    int64_t period = (int64_t)fReclamationSeconds * 1000000 / 4;
    fIdleCheckTask = envir().taskScheduler().scheduleDelayedTask(period < 250000 ? 250000 : period, idleConnectionCheck, this);
}

void GenericMediaServer::setEvictionAge(int ms)
{
    evict_init(&fEvictSessions, ms);
    evict_init(&fEvictConnections, ms);
}

// A full table makes room for a newcomer's SETUP from `addr`: a session's activity is its
// client's last request or report; a UDP session has no socket of its own, one carried in its
// connection is judged by what that connection takes of its stream.
bool GenericMediaServer::evictSessionFor(uint32_t addr)
{
    int64_t nowUs = rtsp_monotonic_us();
    std::vector<EvictEntry> entries;
    std::vector<EvictEntry *> list;
    std::vector<ClientSession *> sessions;
    entries.reserve(fClientSessions.size());
    for (auto &kv : fClientSessions) {
        ClientSession *cs = kv.second;
        const EvictFlow *flow = cs->fTCPConn ? &static_cast<ClientConnection *>(cs->fTCPConn)->fFlow : nullptr;
        entries.push_back({cs->fOwnerAddr, -1, cs->fLastSignUs, false, cs->holdsPlace(), false, flow, 0});
        sessions.push_back(cs);
    }
    for (EvictEntry &e : entries)
        list.push_back(&e);
    int i = evict_choose(&fEvictSessions, list.data(), list.size(), addr, nowUs);
    if (i < 0)
        return false;
    ClientSession *victim = sessions[(size_t)i];
    char more[64];
    if (rate_gate_line(&fEvictLog, 1000, more, sizeof more)) {
        struct in_addr was = {victim->fOwnerAddr}, to = {addr};
        char wasName[INET_ADDRSTRLEN], toName[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &was, wasName, sizeof wasName);
        inet_ntop(AF_INET, &to, toName, sizeof toName);
        log_printf("rtsp: session from %s %s for %lld s ended for a SETUP from %s%s\n", wasName,
                   victim->holdsPlace() ? "taking under a tenth of its stream" : "silent",
                   (long long)evict_idle_age(list[(size_t)i], nowUs) / 1000000, toName, more);
    }
    deleteClientSession(victim);
    return true;
}

// The same for a connection: its activity is its last whole request answered (a request half
// arrived keeps its place only while it is not yet slow); one being answered,
// with bytes not read yet, or carrying a player keeping up or a paused session never goes.
bool GenericMediaServer::evictConnectionFor(uint32_t addr)
{
    int64_t nowUs = rtsp_monotonic_us();
    std::map<ClientConnection *, bool> holds;
    for (auto &kv : fClientSessions)
        if (kv.second->holdsPlace()) {
            if (kv.second->fTCPConn)
                holds[static_cast<ClientConnection *>(kv.second->fTCPConn)] = true;
            if (kv.second->fOwnerConn)
                holds[static_cast<ClientConnection *>(kv.second->fOwnerConn)] = true;
        }
    std::vector<EvictEntry> entries;
    std::vector<EvictEntry *> list;
    std::vector<ClientConnection *> conns;
    entries.reserve(fConnections.size());
    for (auto &kv : fConnections) {
        ClientConnection *c = kv.first;
        entries.push_back({c->fPeer.sin_addr.s_addr, c->fSocket, c->fLastRequestUs, c->fBusy, holds.count(c) > 0,
                           c->fClosing, &c->fFlow, c->fHeadSinceUs});
        conns.push_back(c);
    }
    for (EvictEntry &e : entries)
        list.push_back(&e);
    int i = evict_choose(&fEvictConnections, list.data(), list.size(), addr, nowUs);
    if (i < 0)
        return false;
    ClientConnection *victim = conns[(size_t)i];
    char more[64];
    if (rate_gate_line(&fEvictLog, 1000, more, sizeof more)) {
        struct in_addr to = {addr};
        char toName[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &to, toName, sizeof toName);
        log_printf("rtsp: connection from %s %s for %lld s closed for a connection from %s%s\n", victim->fPeerName,
                   holds.count(victim) ? "taking under a tenth of its stream"
                   : victim->fHeadSinceUs ? "sending its request slowly"
                                          : "idle",
                   (long long)evict_idle_age(list[(size_t)i], nowUs) / 1000000, toName, more);
    }
    victim->scheduleClose();
    return true;
}

void GenericMediaServer::closeConnection(ClientConnection *conn)
{
    // Sessions whose RTP runs inside this connection cannot outlive it.
    LogOrigin was = log_origin_swap(conn->fOrigin);
    unsigned ended = 0;
    for (auto it = fClientSessions.begin(); it != fClientSessions.end();) {
        ClientSession *cs = it->second;
        if (cs->fTCPConn == conn) {
            it = fClientSessions.erase(it);
            delete cs;
            ended++;
        } else {
            if (cs->fOwnerConn == conn)
                cs->fOwnerConn = nullptr;
            ++it;
        }
    }
    if (ended)
        log_printf("rtsp: connection from %s closed, %u session(s) ended\n", inet_ntoa(conn->fPeer.sin_addr), ended);
    fConnections.erase(conn);
    delete conn;
    log_origin_swap(was);
}

void GenericMediaServer::ClientConnection::processInput()
{
    LogOrigin was = log_origin_swap(fOrigin);
    fBusy = true;
    updateInterest();
    while (!fClosing && !fIn.empty()) {
        if (fIn[0] == '$') {
            // RTCP (or anything) the client sends interleaved: a sign of life, nothing more.
            if (fIn.size() < 4)
                break;
            size_t len = (uint8_t)fIn[2] << 8 | (uint8_t)fIn[3];
            if (fIn.size() < 4 + len)
                break;
            fIn.erase(0, 4 + len);
            for (auto &kv : fServer->fClientSessions)
                if (kv.second->fTCPConn == this)
                    kv.second->noteLiveness();
            continue;
        }
        RTSPRequest req;
        int r = rtsp_parse_request(fIn.data(), fIn.size(), req);
        if (r == RTSP_PARSE_INCOMPLETE)
            break;
        if (r == RTSP_PARSE_TOO_BIG) {
            log_printf("rtsp: request of more than %d bytes from %s refused\n", RTSP_MAX_REQUEST_SIZE,
                      inet_ntoa(fPeer.sin_addr));
            respond(req, "413 Request Entity Too Large");
            fIn.clear();
            closeAfterFlush();
            break;
        }
        if (r == RTSP_PARSE_BAD) {
            log_printf("rtsp: malformed request from %s\n", inet_ntoa(fPeer.sin_addr));
            respond(RTSPRequest(), "400 Bad Request");
            fIn.clear();
            closeAfterFlush();
            break;
        }
        // A request is charged to no credentials until they prove a user (digestValid).
        fOrigin = log_origin_client(nullptr, false);
        log_origin_swap(fOrigin);
        handleRequest(req);
        fLastRequestUs = rtsp_monotonic_us();
        fIn.erase(0, req.totalSize);
    }
    fBusy = false;
    updateInterest();
    log_origin_swap(was);
}

bool GenericMediaServer::ClientConnection::authenticationOK(const RTSPRequest &req)
{
    UserAuthenticationDatabase *db = fServer->fAuthDB;
    if (db == nullptr || db->numUsers() == 0)
        return true;
    if (digestValid(req))
        return true;
    std::string nonce = random_hex(16);
    fServer->keepNonce(fPeer.sin_addr.s_addr, nonce);
    respond(req, "401 Unauthorized", std::string("WWW-Authenticate: Digest realm=\"") + db->realm() + "\", nonce=\"" + nonce + "\"\r\n");
    return false;
}

bool GenericMediaServer::ClientConnection::digestValid(const RTSPRequest &req)
{
    UserAuthenticationDatabase *db = fServer->fAuthDB;
    std::map<std::string, std::string> p;
    uint32_t addr = fPeer.sin_addr.s_addr;
    if (!req.authorization.empty() && rtsp_parse_digest(req.authorization, p)) {
        const std::string &user = p["username"], &nonce = p["nonce"], &uri = p["uri"], &response = p["response"];
        bool nonceKnown = fServer->nonceIssued(addr, nonce);
        const char *pass = db->lookupPassword(user.c_str());
        // The digest covers its own uri: one captured for another stream must not open this one.
        bool uriOK = rtsp_digest_uri_matches(uri, req.url);
        if (!uriOK)
            log_printf("rtsp: %s digest uri \"%s\" does not name \"%s\"\n", log_text(req.method.c_str()).text,
                      log_text(uri.c_str()).text, log_text(req.url.c_str()).text);
        if (nonceKnown && pass && p["realm"] == db->realm() && uriOK) {
            std::string ha1 = db->passwordsAreMD5() ? std::string(pass) : md5_hex(user + ":" + db->realm() + ":" + pass);
            std::string ha2 = md5_hex(req.method + ":" + uri);
            std::string expect;
            if (p.count("qop"))
                expect = md5_hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
            else
                expect = md5_hex(ha1 + ":" + nonce + ":" + ha2);
            if (strcasecmp(expect.c_str(), response.c_str()) == 0) {
                fUser = user;
                fOrigin = log_origin_client(user.c_str(), db->isAdmin(user.c_str()));
                log_origin_swap(fOrigin);
                return true;
            }
        }
        log_printf("rtsp: %s authentication failed for user \"%s\" from %s\n", log_text(req.method.c_str()).text,
                  log_text(user.c_str()).text, inet_ntoa(fPeer.sin_addr));
    }
    return false;
}

bool GenericMediaServer::nonceIssued(uint32_t addr, const std::string &nonce) const
{
    auto it = fNonces.find(addr);
    if (it == fNonces.end() || nonce.empty())
        return false;
    for (const auto &n : it->second.nonces)
        if (n == nonce)
            return true;
    return false;
}

void GenericMediaServer::keepNonce(uint32_t addr, const std::string &nonce)
{
    auto it = fNonces.find(addr);
    if (it == fNonces.end() && fNonces.size() >= MAX_NONCE_ADDRESSES) {
        // The address that was given a nonce longest ago makes room.
        auto oldest = fNonces.begin();
        for (auto i = fNonces.begin(); i != fNonces.end(); ++i)
            if (i->second.lastIssued < oldest->second.lastIssued)
                oldest = i;
        fNonces.erase(oldest);
    }
    AddressNonces &a = fNonces[addr];
    a.nonces.push_back(nonce);
    if (a.nonces.size() > MAX_NONCES_PER_ADDRESS)
        a.nonces.pop_front();
    a.lastIssued = rtsp_monotonic_us();
}

bool rtsp_digest_uri_matches(const std::string &uri, const std::string &requestURL)
{
    if (uri.empty())
        return false;
    if (uri == requestURL)
        return true;
    std::string a = rtsp_url_path(uri), b = rtsp_url_path(requestURL);
    if (a == b)
        return true;
    // A client may answer for the aggregate URL while setting up one of its tracks, or the
    // other way round.
    auto isTrackOf = [](const std::string &track, const std::string &aggregate) {
        size_t slash = track.rfind('/');
        return slash != std::string::npos && track.compare(0, slash, aggregate) == 0 && slash == aggregate.size() &&
               track.compare(slash + 1, 5, "track") == 0;
    };
    return isTrackOf(b, a) || isTrackOf(a, b);
}

GenericMediaServer::ClientSession *GenericMediaServer::ClientConnection::lookupSession(const RTSPRequest &req, bool &missing)
{
    missing = req.session.empty();
    if (missing)
        return nullptr;
    auto it = fServer->fClientSessions.find(req.session);
    if (it == fServer->fClientSessions.end())
        return nullptr;
    // A session id seen on the wire is no key: only its own client controls the session.
    UserAuthenticationDatabase *db = fServer->fAuthDB;
    if (!ownsSession(it->second) && !(db && db->numUsers() && digestValid(req) && ownsSession(it->second))) {
        log_printf("rtsp: %s of session %s from %s refused: the session belongs to another connection\n",
                   log_text(req.method.c_str()).text, log_text(req.session.c_str()).text, fPeerName);
        return nullptr;
    }
    return it->second;
}

bool GenericMediaServer::ClientConnection::ownsSession(const ClientSession *cs)
{
    if (cs->fOwnerConn == this)
        return true;
    // Interleaved RTP lives and dies with its connection; a UDP client may send its later
    // requests on a new connection, from the same address as the same user.
    if (cs->fTCPConn != nullptr || cs->fOwnerAddr != fPeer.sin_addr.s_addr)
        return false;
    UserAuthenticationDatabase *db = fServer->fAuthDB;
    if (db == nullptr || db->numUsers() == 0)
        return true;
    return !fUser.empty() && fUser == cs->fOwnerUser;
}

// Checked before anything is made for a new session, so a refused SETUP attaches no source and
// opens no socket.
bool GenericMediaServer::ClientConnection::roomForSession(const RTSPRequest &req)
{
    unsigned onConnection = 0, fromAddress = 0;
    for (auto &kv : fServer->fClientSessions) {
        const ClientSession *cs = kv.second;
        onConnection += cs->fOwnerConn == this || cs->fTCPConn == this;
        fromAddress += cs->fOwnerAddr == fPeer.sin_addr.s_addr;
    }
    char why[64];
    if (onConnection >= MAX_SESSIONS_PER_CONNECTION)
        snprintf(why, sizeof why, "%d sessions on its connection", MAX_SESSIONS_PER_CONNECTION);
    else if (fromAddress >= MAX_SESSIONS_PER_ADDRESS)
        snprintf(why, sizeof why, "%d sessions from that address", MAX_SESSIONS_PER_ADDRESS);
    else if (fServer->fClientSessions.size() >= MAX_SESSIONS && !fServer->evictSessionFor(fPeer.sin_addr.s_addr))
        snprintf(why, sizeof why, "%d sessions open", MAX_SESSIONS);
    else
        return true;
    if (!fSessionRefusalLogged)
        log_printf("rtsp: SETUP from %s refused: %s\n", fPeerName, why);
    fSessionRefusalLogged = true;
    respond(req, "453 Not Enough Bandwidth");
    return false;
}

void GenericMediaServer::ClientConnection::handleRequest(const RTSPRequest &req)
{
    if (!req.hasCSeq) {
        respond(req, "400 Bad Request");
        return;
    }
    if (req.version != "RTSP/1.0") {
        respond(req, "505 RTSP Version Not Supported");
        return;
    }
    const std::string &m = req.method;
    std::string path = rtsp_url_path(req.url);
    char serverIP[INET_ADDRSTRLEN], clientIP[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &fLocal, serverIP, sizeof serverIP);
    inet_ntop(AF_INET, &fPeer.sin_addr, clientIP, sizeof clientIP);
    unsigned reclaim = fServer->fReclamationSeconds;
    std::string sessionHeaderTail = reclaim ? ";timeout=" + std::to_string(reclaim) + "\r\n" : "\r\n";

    if (m == "OPTIONS") {
        bool missing;
        ClientSession *cs = lookupSession(req, missing);
        if (cs)
            cs->noteLiveness();
        respond(req, "200 OK", std::string("Public: ") + PUBLIC_METHODS + "\r\n");
        return;
    }
    if (m == "DESCRIBE") {
        if (!authenticationOK(req))
            return;
        ServerMediaSession *sms = fServer->lookupServerMediaSession(path.c_str());
        if (sms == nullptr) {
            respond(req, "404 Stream Not Found");
            return;
        }
        std::string sdp = sms->generateSDPDescription(fLocal);
        if (sdp.empty() || fClosing) {
            respond(req, "404 Stream Not Found");
            return;
        }
        std::string base = req.url;
        if (base.empty() || base.back() != '/')
            base += '/';
        respond(req, "200 OK", "Content-Base: " + base + "\r\nContent-Type: application/sdp\r\n", sdp);
        return;
    }
    if (m == "SETUP") {
        if (!authenticationOK(req))
            return;
        ServerMediaSession *sms = fServer->lookupServerMediaSession(path.c_str());
        ServerMediaSubsession *sub = nullptr;
        if (sms) {
            if (sms->numSubsessions() == 1)
                sub = sms->subsession(0);
        } else {
            size_t slash = path.rfind('/');
            if (slash != std::string::npos) {
                sms = fServer->lookupServerMediaSession(path.substr(0, slash).c_str());
                if (sms)
                    sub = sms->lookupByTrackId(path.substr(slash + 1));
            }
        }
        if (sms == nullptr || sub == nullptr) {
            respond(req, sms ? "459 Aggregate Operation Not Allowed" : "404 Stream Not Found");
            return;
        }
        bool missing;
        ClientSession *cs = lookupSession(req, missing);
        if (!missing && cs == nullptr) {
            respond(req, "454 Session Not Found");
            return;
        }
        if (cs && cs->fSMS != sms) {
            respond(req, "455 Method Not Valid in This State");
            return;
        }
        RTSPTransport t;
        if (!rtsp_parse_transport(req.transport, t)) {
            respond(req, "461 Unsupported Transport");
            return;
        }
        if (cs == nullptr && !roomForSession(req))
            return;
        bool created = false;
        if (cs == nullptr) {
            std::string id;
            do
                id = random_hex(8);
            while (fServer->fClientSessions.count(id));
            cs = new ClientSession(fServer, sms, id, fServer->fNextSessionNum++);
            cs->fOwnerConn = this;
            cs->fOwnerAddr = fPeer.sin_addr.s_addr;
            cs->fOwnerUser = fUser;
            fServer->fClientSessions[id] = cs;
            created = true;
        }
        cs->noteLiveness();
        // Setting up a track again replaces its stream.
        for (auto it = cs->fStreams.begin(); it != cs->fStreams.end(); ++it)
            if (it->sub == sub) {
                sub->deleteStream(cs->fNum, it->token);
                cs->fStreams.erase(it);
                break;
            }
        ClientDestination dest;
        dest.livenessFunc = ClientSession::noteLivenessFunc;
        dest.livenessClientData = cs;
        if (t.tcp) {
            dest.tcp = true;
            dest.conn = this;
            dest.rtpChannel = t.hasInterleaved ? t.rtpChannel : (uint8_t)(2 * (sub->trackNumber() - 1));
            dest.rtcpChannel = t.hasInterleaved ? t.rtcpChannel : (uint8_t)(dest.rtpChannel + 1);
        } else {
            dest.clientAddr = fPeer;
            dest.clientRTPPort = t.clientRTPPort;
            dest.clientRTCPPort = t.clientRTCPPort;
        }
        StreamParameters sp;
        void *token = nullptr;
        if (!sub->getStreamParameters(cs->fNum, dest, sp, token)) {
            respond(req, "500 Internal Server Error");
            if (created)
                fServer->deleteClientSession(cs);
            return;
        }
        cs->fStreams.push_back(ClientSession::Stream{sub, token, t.tcp && !sp.multicast});
        if (t.tcp && !sp.multicast)
            cs->fTCPConn = this;
        char tr[256];
        if (sp.multicast) {
            char group[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &sp.destination, group, sizeof group);
            snprintf(tr, sizeof tr, "Transport: RTP/AVP;multicast;destination=%s;source=%s;port=%u-%u;ttl=%u\r\n", group, serverIP,
                     sp.multicastRTPPort, sp.multicastRTCPPort, sp.ttl);
        } else if (t.tcp) {
            snprintf(tr, sizeof tr, "Transport: RTP/AVP/TCP;unicast;destination=%s;source=%s;interleaved=%u-%u\r\n", clientIP, serverIP,
                     dest.rtpChannel, dest.rtcpChannel);
        } else {
            snprintf(tr, sizeof tr, "Transport: RTP/AVP;unicast;destination=%s;source=%s;client_port=%u-%u;server_port=%u-%u\r\n",
                     clientIP, serverIP, t.clientRTPPort, t.clientRTCPPort, sp.serverRTPPort, sp.serverRTCPPort);
        }
        respond(req, "200 OK", std::string(tr) + "Session: " + cs->fId + sessionHeaderTail);
        return;
    }
    if (m == "PLAY" || m == "PAUSE" || m == "TEARDOWN" || m == "GET_PARAMETER") {
        bool missing;
        ClientSession *cs = lookupSession(req, missing);
        if (cs == nullptr) {
            if (missing && m == "GET_PARAMETER")
                respond(req, "200 OK");   // a keep-alive ping without a session
            else
                respond(req, "454 Session Not Found");
            return;
        }
        cs->noteLiveness();
        if (m == "GET_PARAMETER") {
            respond(req, "200 OK", "Session: " + cs->fId + sessionHeaderTail);
            return;
        }
        // The aggregate URL means every stream; a track URL just that one.
        bool aggregate = path == cs->fSMS->streamName() || path.empty() || path == "*";
        std::string track;
        if (!aggregate) {
            size_t slash = path.rfind('/');
            track = slash == std::string::npos ? path : path.substr(slash + 1);
        }
        std::string base = req.url;
        while (!base.empty() && base.back() == '/')
            base.pop_back();
        if (m == "TEARDOWN") {
            std::string id = cs->fId;
            if (aggregate) {
                fServer->deleteClientSession(cs);
            } else {
                for (auto it = cs->fStreams.begin(); it != cs->fStreams.end(); ++it)
                    if (track == it->sub->trackId()) {
                        it->sub->deleteStream(cs->fNum, it->token);
                        cs->fStreams.erase(it);
                        break;
                    }
                if (cs->fStreams.empty())
                    fServer->deleteClientSession(cs);
            }
            respond(req, "200 OK");
            return;
        }
        std::string rtpInfo;
        unsigned matched = 0;
        for (auto &s : cs->fStreams) {
            if (!aggregate && track != s.sub->trackId())
                continue;
            matched++;
            if (m == "PAUSE") {
                s.sub->pauseStream(cs->fNum, s.token);
                cs->fPaused = cs->fPaused || cs->fPlaying;
                cs->fPlaying = false;
                continue;
            }
            cs->fPlaying = true;
            cs->fPaused = false;
            uint16_t seq = 0;
            uint32_t ts = 0;
            s.sub->startStream(cs->fNum, s.token, seq, ts);
            char info[512];
            snprintf(info, sizeof info, "%surl=%s%s%s;seq=%u;rtptime=%u", rtpInfo.empty() ? "" : ",", base.c_str(),
                     aggregate ? "/" : "", aggregate ? s.sub->trackId() : "", seq, ts);
            rtpInfo += info;
        }
        if (matched == 0) {
            respond(req, "404 Stream Not Found");
            return;
        }
        std::string headers = "Session: " + cs->fId + sessionHeaderTail;
        if (m == "PLAY")
            headers = "Range: npt=0.000-\r\n" + headers + (rtpInfo.size() < 4000 ? "RTP-Info: " + rtpInfo + "\r\n" : "");
        respond(req, "200 OK", headers);
        return;
    }
    respond(req, "501 Not Implemented", std::string("Public: ") + PUBLIC_METHODS + "\r\n");
}

// ---- server ----

GenericMediaServer::GenericMediaServer(UsageEnvironment &env, int ourSocket, Port ourPort, unsigned reclamationSeconds)
    : Medium(env), fServerSocket(ourSocket), fServerPort(ourPort), fReclamationSeconds(reclamationSeconds)
{
}

GenericMediaServer::~GenericMediaServer()
{
    envir().taskScheduler().unscheduleDelayedTask(fIdleCheckTask);
    while (!fClientSessions.empty()) {
        ClientSession *cs = fClientSessions.begin()->second;
        fClientSessions.erase(fClientSessions.begin());
        delete cs;
    }
    while (!fConnections.empty()) {
        ClientConnection *c = fConnections.begin()->first;
        fConnections.erase(fConnections.begin());
        delete c;
    }
    for (auto &kv : fSessions)
        Medium::close(kv.second);
    fSessions.clear();
    delete fAuthDB;
}

void GenericMediaServer::addServerMediaSession(ServerMediaSession *sms)
{
    if (sms == nullptr)
        return;
    auto it = fSessions.find(sms->streamName());
    if (it != fSessions.end() && it->second != sms)
        removeServerMediaSession(it->second);
    fSessions[sms->streamName()] = sms;
}

ServerMediaSession *GenericMediaServer::lookupServerMediaSession(const char *streamName) const
{
    auto it = fSessions.find(streamName ? streamName : "");
    return it == fSessions.end() ? nullptr : it->second;
}

void GenericMediaServer::removeServerMediaSession(ServerMediaSession *sms)
{
    if (sms == nullptr)
        return;
    for (auto it = fClientSessions.begin(); it != fClientSessions.end();) {
        if (it->second->fSMS == sms) {
            ClientSession *cs = it->second;
            it = fClientSessions.erase(it);
            delete cs;
        } else {
            ++it;
        }
    }
    auto it = fSessions.find(sms->streamName());
    if (it != fSessions.end() && it->second == sms)
        fSessions.erase(it);
    Medium::close(sms);
}

UserAuthenticationDatabase *GenericMediaServer::setAuthenticationDatabase(UserAuthenticationDatabase *newDB)
{
    UserAuthenticationDatabase *old = fAuthDB;
    fAuthDB = newDB;
    return old;
}

RTSPServer *RTSPServer::createNew(UsageEnvironment &env, Port ourPort, UserAuthenticationDatabase *authDatabase, unsigned reclamationSeconds)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0) {
        env.setResultErrMsg("unable to create stream socket: ");
        return nullptr;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = ourPort.num();
    if (bind(s, (struct sockaddr *)&a, sizeof a) < 0) {
        char msg[64];
        snprintf(msg, sizeof msg, "bind() error (port number: %u): ", ourPort.hostOrder());
        env.setResultErrMsg(msg);
        ::close(s);
        return nullptr;
    }
    if (listen(s, 64) < 0) {
        env.setResultErrMsg("listen() failed: ");
        ::close(s);
        return nullptr;
    }
    socklen_t len = sizeof a;
    getsockname(s, (struct sockaddr *)&a, &len);
    return new RTSPServer(env, s, Port(ntohs(a.sin_port)), authDatabase, reclamationSeconds);
}

RTSPServer::RTSPServer(UsageEnvironment &env, int ourSocket, Port ourPort, UserAuthenticationDatabase *authDatabase, unsigned reclamationSeconds)
    : GenericMediaServer(env, ourSocket, ourPort, reclamationSeconds)
{
    fAuthDB = authDatabase;
    env.taskScheduler().turnOnBackgroundReadHandling(fServerSocket, incomingConnectionHandler, this);
    scheduleIdleCheck();
}

RTSPServer::~RTSPServer()
{
    envir().taskScheduler().turnOffBackgroundReadHandling(fServerSocket);
    ::close(fServerSocket);
}

void RTSPServer::incomingConnectionHandler(void *clientData, int mask)
{
    RTSPServer *server = static_cast<RTSPServer *>(clientData);
    for (int i = 0; i < 16; i++) {
        struct sockaddr_in peer = {};
        socklen_t len = sizeof peer;
        int c = accept4(server->fServerSocket, (struct sockaddr *)&peer, &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (c < 0)
            return;
        unsigned fromPeer = 0, open = 0;
        for (auto &kv : server->fConnections) {
            open += !kv.first->fClosing;
            fromPeer += kv.first->fPeer.sin_addr.s_addr == peer.sin_addr.s_addr && !kv.first->fClosing;
        }
        if (fromPeer >= MAX_CONNECTIONS_PER_ADDRESS) {
            LogOrigin was = log_origin_swap(log_origin_client(nullptr, false));
            log_printf("rtsp: connection from %s refused: %d connections from that address\n", inet_ntoa(peer.sin_addr),
                       MAX_CONNECTIONS_PER_ADDRESS);
            log_origin_swap(was);
            ::close(c);
            continue;
        }
        // Full: a newcomer takes an idle connection's place; closing ones count until they are gone.
        // The addresses put out dial again at once: their refusals are logged once a second.
        char more[64];
        if (open >= MAX_CONNECTIONS &&
            (server->fConnections.size() >= (size_t)MAX_CONNECTIONS + EVICTED_SLACK || !server->evictConnectionFor(peer.sin_addr.s_addr))) {
            if (rate_gate_line(&server->fRefuseLog, 1000, more, sizeof more))
                log_printf("rtsp: connection from %s refused: %d connections open%s\n", inet_ntoa(peer.sin_addr), MAX_CONNECTIONS,
                           more);
            ::close(c);
            continue;
        }
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // The kernel's share of a slow reader's backlog stays small (a fraction of a second of
        // video), so the lag rule above it bounds what the client is behind.
        int sndbuf = CONNECTION_SNDBUF;
        setsockopt(c, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        ClientConnection *conn = new ClientConnection(server, c, peer);
        server->fConnections[conn] = true;
    }
}
