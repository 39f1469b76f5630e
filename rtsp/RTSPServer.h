// The RTSP server (RFC 2326): OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN and GET_PARAMETER,
// RTP over UDP or interleaved in the connection, digest authentication (RFC 2617) against a
// user database, and reclamation of sessions whose clients went silent.
#pragma once
#include <deque>
#include <map>
#include <set>
#include <string>

#include "core/evict.h"
#include "core/util.h"
#include "rtsp/ServerMediaSession.h"

class UserAuthenticationDatabase {
public:
    // realm null: the library's realm. With passwordsAreMD5 the stored "password" is
    // MD5(username:realm:password) in hex.
    explicit UserAuthenticationDatabase(const char *realm = nullptr, bool passwordsAreMD5 = false);
    virtual ~UserAuthenticationDatabase() {}
    virtual void addUserRecord(const char *username, const char *password, bool admin = false);
    virtual void removeUserRecord(const char *username);
    virtual const char *lookupPassword(const char *username) const;   // null when unknown
    bool isAdmin(const char *username) const;   // the log never holds back an Admin's lines
    const char *realm() const { return fRealm.c_str(); }
    bool passwordsAreMD5() const { return fPasswordsAreMD5; }
    unsigned numUsers() const { return (unsigned)fUsers.size(); }

private:
    std::string fRealm;
    bool fPasswordsAreMD5;
    std::map<std::string, std::string> fUsers;
    std::set<std::string> fAdmins;
};

// Whether a digest's uri names the request's URL (RFC 2617 3.2.2.5): the same URL or path, or
// the aggregate of a track URL (or a track of the aggregate).
bool rtsp_digest_uri_matches(const std::string &uri, const std::string &requestURL);

class GenericMediaServer : public Medium {
public:
    void addServerMediaSession(ServerMediaSession *serverMediaSession);   // replaces one of the same name
    ServerMediaSession *lookupServerMediaSession(const char *streamName) const;
    // Ends the clients' sessions on it, then closes it.
    void removeServerMediaSession(ServerMediaSession *serverMediaSession);
    // The server owns the database it holds; the one it held before is returned to the caller,
    // who deletes it. Null turns authentication off.
    UserAuthenticationDatabase *setAuthenticationDatabase(UserAuthenticationDatabase *newDB);
    unsigned numClientSessions() const { return (unsigned)fClientSessions.size(); }
    unsigned numClientConnections() const { return (unsigned)fConnections.size(); }

    // A SETUP that would open a session beyond these is answered "453 Not Enough Bandwidth",
    // except that at the total a newcomer takes the place of a session that is not playing.
    // A player needs one or two sessions on its connection (an aggregate SETUP joins the one it
    // has); every session adds a destination to a running stream, so without a bound one
    // connection could make the server send the stream a thousand times to one port. No more
    // sessions in all than connections, and one address holds a quarter, as for connections:
    // a client that closes its connection leaves its UDP sessions behind, so the connection's
    // bound alone does not hold it.
    enum { MAX_SESSIONS = 256, MAX_SESSIONS_PER_ADDRESS = MAX_SESSIONS / 4, MAX_SESSIONS_PER_CONNECTION = 4 };
    // Idle time after which a connection or session gives way to a newcomer from any address
    // (0: EVICT_IDLE_MS).
    void setEvictionAge(int ms);

protected:
    GenericMediaServer(UsageEnvironment &env, int ourSocket, Port ourPort, unsigned reclamationSeconds);
    ~GenericMediaServer() override;
    class ClientConnection;
    class ClientSession;
    friend class ClientConnection;
    friend class ClientSession;
    void deleteClientSession(ClientSession *cs);
    void closeConnection(ClientConnection *conn);
    static void idleConnectionCheck(void *clientData);
    void scheduleIdleCheck();
    TaskToken fIdleCheckTask = nullptr;
    // A full server makes room for a newcomer from addr by the one eviction rule; false when
    // nothing may go.
    bool evictSessionFor(uint32_t addr);
    bool evictConnectionFor(uint32_t addr);
    // Crowded: a connection past its request deadline or idle time stays until a newcomer takes
    // its place (see evict_keep_late).
    bool keepLate() const;
    EvictState fEvictSessions = {}, fEvictConnections = {};
    RateGate fEvictLog = {}, fRefuseLog = {};   // lines about newcomers at most once a second

    int fServerSocket;
    Port fServerPort;
    unsigned fReclamationSeconds;
    UserAuthenticationDatabase *fAuthDB = nullptr;
    std::map<std::string, ServerMediaSession *> fSessions;
    std::map<ClientConnection *, bool> fConnections;
    std::map<std::string, ClientSession *> fClientSessions;
    bool nonceIssued(uint32_t addr, const std::string &nonce) const;
    void keepNonce(uint32_t addr, const std::string &nonce);
    struct AddressNonces {
        std::deque<std::string> nonces;   // newest last
        int64_t lastIssued = 0;
    };
    std::map<uint32_t, AddressNonces> fNonces;   // digest nonces by client address
    unsigned fNextSessionNum = 1;
};

class RTSPServer : public GenericMediaServer {
public:
    // Listens on ourPort on every interface. On success the server owns authDatabase; null (with
    // the reason in the environment's result message) when the port cannot be had.
    // reclamationSeconds: a session without any sign of its client for this long is ended
    // (0: never).
    static RTSPServer *createNew(UsageEnvironment &env, Port ourPort = 554, UserAuthenticationDatabase *authDatabase = nullptr,
                                 unsigned reclamationSeconds = 65);
    bool isRTSPServer() const override { return true; }
    portNumBits port() const { return fServerPort.hostOrder(); }

protected:
    RTSPServer(UsageEnvironment &env, int ourSocket, Port ourPort, UserAuthenticationDatabase *authDatabase, unsigned reclamationSeconds);
    ~RTSPServer() override;

private:
    static void incomingConnectionHandler(void *clientData, int mask);
};
