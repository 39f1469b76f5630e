// RTMP play: the digests, the chunk stream (split reads, reassembly, bounds), the command
// replies, the media messages (configuration records, NAL unit lengths, audio window,
// catch-up, clock wrap) and whole sessions against the fake producer.
#include "streaming/rtmp.h"

#include "core/evict.h"
#include "core/log.h"
#include "core/param.h"
#include "core/param_table.h"
#include "core/sha256.h"
#include "core/soc.h"
#include "fakeproducer.h"
#include "platform/platform.h"
#include "stream_testutil.h"
#include "testutil.h"
#include "streams/stream_mode.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const uint8_t *d, size_t n)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

std::string log_since(uint32_t tail)
{
    static char buf[LOG_RING_SIZE];
    uint32_t n = log_ring_read(tail, buf, sizeof buf - 1);
    return std::string(buf, n);
}

// ---- AMF0 building for the client side ----
void amf_str(Bytes &b, const std::string &s)
{
    b.push_back(2);
    b.push_back((uint8_t)(s.size() >> 8));
    b.push_back((uint8_t)s.size());
    b.insert(b.end(), s.begin(), s.end());
}
void amf_key(Bytes &b, const std::string &s)
{
    b.push_back((uint8_t)(s.size() >> 8));
    b.push_back((uint8_t)s.size());
    b.insert(b.end(), s.begin(), s.end());
}
void amf_num(Bytes &b, double d)
{
    uint64_t v;
    memcpy(&v, &d, 8);
    b.push_back(0);
    for (int i = 0; i < 8; i++)
        b.push_back((uint8_t)(v >> (56 - 8 * i)));
}
void amf_null(Bytes &b) { b.push_back(5); }
void amf_end(Bytes &b) { b.insert(b.end(), {0, 0, 9}); }

Bytes command(const std::string &name, double txn)
{
    Bytes b;
    amf_str(b, name);
    amf_num(b, txn);
    return b;
}

Bytes connect_body(size_t pad = 0)
{
    Bytes b = command("connect", 1);
    b.push_back(3);
    amf_key(b, "app");
    amf_str(b, "live");
    amf_key(b, "tcUrl");
    amf_str(b, "rtmp://127.0.0.1:1935/live" + std::string(pad, 'x'));
    amf_end(b);
    return b;
}

Bytes play_body(const std::string &stream)
{
    Bytes b = command("play", 4);
    amf_null(b);
    amf_str(b, stream);
    return b;
}

// One message as chunks of `chunk` bytes on chunk stream `cs`.
Bytes chunked(uint32_t cs, uint32_t type, const Bytes &body, size_t chunk = 128, uint32_t sid = 0)
{
    Bytes o;
    o.push_back((uint8_t)cs);
    o.insert(o.end(), {0, 0, 0, (uint8_t)(body.size() >> 16), (uint8_t)(body.size() >> 8), (uint8_t)body.size(),
                       (uint8_t)type, (uint8_t)sid, 0, 0, 0});
    for (size_t done = 0; done < body.size();) {
        if (done)
            o.push_back((uint8_t)(0xC0 | cs));
        size_t n = std::min(chunk, body.size() - done);
        o.insert(o.end(), body.begin() + (long)done, body.begin() + (long)(done + n));
        done += n;
    }
    return o;
}

struct Msg {
    uint32_t cs, type, ts, sid;
    Bytes body;
    std::string name() const   // first AMF0 string of a command or data message
    {
        if (body.size() < 3 || body[0] != 2)
            return "";
        size_t n = body[1] << 8 | body[2];
        return std::string((const char *)body.data() + 3, std::min(n, body.size() - 3));
    }
};

// The player's end of a session's socket: reads our chunks back into messages, checking that
// no chunk carries more than 128 bytes.
struct Peer {
    int fd = -1;
    Bytes in;
    struct State {
        uint32_t ts = 0, len = 0, type = 0, sid = 0;
        Bytes body;
        bool ext = false;
    } st[64];
    int oversize_chunks = 0;

    bool fill(int ms)
    {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return false;
        uint8_t buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return false;
        in.insert(in.end(), buf, buf + n);
        return true;
    }
    // Next complete message, waiting up to ms for more bytes.
    bool next(Msg &m, int ms = 3000)
    {
        for (;;) {
            size_t pos = 0;
            while (pos < in.size()) {
                size_t start = pos;
                int fmt = in[pos] >> 6;
                uint32_t id = in[pos] & 0x3f;
                static const int hs[4] = {11, 7, 3, 0};
                if (in.size() - pos < 1u + hs[fmt])
                    break;
                pos++;
                State &s = st[id];
                if (fmt <= 2) {
                    s.ts = (uint32_t)in[pos] << 16 | in[pos + 1] << 8 | in[pos + 2];
                    s.ext = s.ts == 0xFFFFFF;
                }
                if (fmt <= 1) {
                    s.len = (uint32_t)in[pos + 3] << 16 | in[pos + 4] << 8 | in[pos + 5];
                    s.type = in[pos + 6];
                }
                if (fmt == 0)
                    s.sid = in[pos + 7] | in[pos + 8] << 8 | in[pos + 9] << 16 | (uint32_t)in[pos + 10] << 24;
                pos += hs[fmt];
                if (s.ext) {
                    if (in.size() - pos < 4) {
                        pos = start;
                        break;
                    }
                    s.ts = (uint32_t)in[pos] << 24 | in[pos + 1] << 16 | in[pos + 2] << 8 | in[pos + 3];
                    pos += 4;
                }
                size_t take = std::min<size_t>(128, s.len - s.body.size());
                if (in.size() - pos < take) {
                    pos = start;
                    break;
                }
                s.body.insert(s.body.end(), in.begin() + (long)pos, in.begin() + (long)(pos + take));
                pos += take;
                if (s.body.size() == s.len) {
                    m = Msg{id, s.type, s.ts, s.sid, s.body};
                    s.body.clear();
                    in.erase(in.begin(), in.begin() + (long)pos);
                    return true;
                }
            }
            in.erase(in.begin(), in.begin() + (long)pos);
            if (!fill(ms))
                return false;
        }
    }
    void send_bytes(const Bytes &b) { ASSERT_EQ(send(fd, b.data(), b.size(), MSG_NOSIGNAL), (ssize_t)b.size()); }
};

// A connection whose socket's other end is the test's peer.
struct Conn {
    RtmpConnection *c = static_cast<RtmpConnection *>(calloc(1, sizeof(RtmpConnection)));
    Peer peer;
    Conn()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        rtmp_connection_init(c, sv[0]);
        peer.fd = sv[1];
    }
    ~Conn()
    {
        rtmp_connection_free(c);
        close(c->sock);
        close(peer.fd);
        free(c);
    }
    int feed(const Bytes &b) { return rtmp_feed(c, b.data(), b.size()); }
    std::vector<Msg> drain(int ms = 200)
    {
        std::vector<Msg> v;
        Msg m;
        while (peer.next(m, ms))
            v.push_back(m);
        return v;
    }
};

std::vector<std::string> names(const std::vector<Msg> &v)
{
    std::vector<std::string> n;
    for (const Msg &m : v)
        n.push_back(std::to_string(m.cs) + "/" + std::to_string(m.type) + (m.name().empty() ? "" : "/" + m.name()));
    return n;
}

const std::vector<std::string> CONNECT_REPLY = {"2/5", "2/6", "2/4", "3/20/_result", "3/20/onBWDone"};

} // namespace

TEST(RtmpDigest, Sha256PublishedVectors)
{
    uint8_t d[32];
    sha256(nullptr, (const uint8_t *)"", 0, d);
    EXPECT_EQ(hex(d, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    sha256(nullptr, (const uint8_t *)"abc", 3, d);
    EXPECT_EQ(hex(d, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const char *m448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    sha256(nullptr, (const uint8_t *)m448, strlen(m448), d);
    EXPECT_EQ(hex(d, 32), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    std::string million(1000000, 'a');
    sha256(nullptr, (const uint8_t *)million.data(), million.size(), d);
    EXPECT_EQ(hex(d, 32), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // The optional block is hashed before the data.
    uint8_t e[32];
    sha256((const uint8_t *)million.data(), (const uint8_t *)"abc", 3, d);
    std::string joined = million.substr(0, 64) + "abc";
    sha256(nullptr, (const uint8_t *)joined.data(), joined.size(), e);
    EXPECT_EQ(hex(d, 32), hex(e, 32));
}

TEST(RtmpDigest, HmacSha256Rfc4231)
{
    uint8_t d[32];
    uint8_t k1[20];
    memset(k1, 0x0b, sizeof k1);
    hmac_sha256((const uint8_t *)"Hi There", 8, d, k1, sizeof k1);
    EXPECT_EQ(hex(d, 32), "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    const char *m2 = "what do ya want for nothing?";
    hmac_sha256((const uint8_t *)m2, strlen(m2), d, (const uint8_t *)"Jefe", 4);
    EXPECT_EQ(hex(d, 32), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    uint8_t k6[131];
    memset(k6, 0xaa, sizeof k6);
    const char *m6 = "Test Using Larger Than Block-Size Key - Hash Key First";
    hmac_sha256((const uint8_t *)m6, strlen(m6), d, k6, sizeof k6);
    EXPECT_EQ(hex(d, 32), "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(RtmpChunk, ConnectSplitAcrossReadsAnsweredOnce)
{
    Conn t;
    Bytes all = chunked(3, 20, connect_body());
    for (size_t cut : {1ul, 5ul, 12ul, 13ul, 60ul, all.size() - 1}) {
        SCOPED_TRACE(cut);
        ASSERT_EQ(t.feed(Bytes(all.begin(), all.begin() + (long)cut)), 0);
        EXPECT_TRUE(t.drain(50).empty()) << "nothing before the message is whole";
        ASSERT_EQ(t.feed(Bytes(all.begin() + (long)cut, all.end())), 0);
        std::vector<Msg> r = t.drain();
        EXPECT_EQ(names(r), CONNECT_REPLY);
    }
}

TEST(RtmpChunk, ConnectRepliesFieldByField)
{
    Conn t;
    ASSERT_EQ(t.feed(chunked(3, 20, connect_body())), 0);
    std::vector<Msg> r = t.drain();
    ASSERT_EQ(names(r), CONNECT_REPLY);
    EXPECT_EQ(r[0].body, (Bytes{0x00, 0x26, 0x25, 0xA0}));
    EXPECT_EQ(r[1].body, (Bytes{0x00, 0x26, 0x25, 0xA0, 2}));
    EXPECT_EQ(r[2].body, (Bytes{0, 0, 0, 0, 0, 0}));
    Bytes want = command("_result", 1);
    want.push_back(3);
    amf_key(want, "fmsVer");
    amf_str(want, "FMS/3,0,24,53");
    amf_key(want, "capabilities");
    amf_num(want, 31);
    amf_end(want);
    want.push_back(3);
    amf_key(want, "level");
    amf_str(want, "status");
    amf_key(want, "code");
    amf_str(want, "NetConnection.Connect.Success");
    amf_key(want, "description");
    amf_str(want, "Connection succeeded");
    amf_key(want, "objectEncoding");
    amf_num(want, 0);
    amf_end(want);
    EXPECT_EQ(r[3].body, want);
    EXPECT_EQ(r[3].sid, 0u);
    Bytes bw = command("onBWDone", 0);
    amf_null(bw);
    amf_num(bw, 8192);
    EXPECT_EQ(r[4].body, bw);
}

TEST(RtmpChunk, ThreeChunkCommandAndLargerChunkSize)
{
    Conn t;
    Bytes body = connect_body(300 - connect_body().size());
    ASSERT_EQ(body.size(), 300u);
    Bytes wire = chunked(3, 20, body);
    ASSERT_EQ(wire.size(), 12u + 300 + 2) << "three chunks, two of format 3";
    ASSERT_EQ(t.feed(wire), 0);
    EXPECT_EQ(names(t.drain()), CONNECT_REPLY);

    // Set Chunk Size 4096: a 3000-byte command arrives in one chunk.
    ASSERT_EQ(t.feed(chunked(2, 1, {0, 0, 0x10, 0})), 0);
    EXPECT_EQ(t.c->in_chunk_size, 4096u);
    Bytes big = connect_body(3000 - connect_body().size());
    ASSERT_EQ(t.feed(chunked(3, 20, big, 4096)), 0);
    EXPECT_EQ(names(t.drain()), CONNECT_REPLY);

    // A chunk larger than the receive buffer spans reads.
    ASSERT_EQ(t.feed(chunked(2, 1, {0, 0, 0x20, 0})), 0);
    Bytes huge = connect_body(6000 - connect_body().size());
    Bytes w = chunked(3, 20, huge, 8192);
    for (size_t i = 0; i < w.size(); i += 700)
        ASSERT_EQ(t.feed(Bytes(w.begin() + (long)i, w.begin() + (long)std::min(w.size(), i + 700))), 0);
    EXPECT_EQ(names(t.drain()), CONNECT_REPLY);
}

// Past 0xFFFFFE ms the timestamp moves to the extended field, which players read again in every
// continuation chunk of the message; a player's own such chunks are read the same way.
TEST(RtmpChunk, ExtendedTimestampsInEveryChunk)
{
    Conn t;
    Bytes body(300, 0x42);
    t.c->out_video.timestamp = 0x1234567;
    ASSERT_EQ(rtmp_send_message(t.c, &t.c->out_video, body.data(), body.size()), 0);
    Msg m;
    ASSERT_TRUE(t.peer.next(m, 500));
    EXPECT_EQ(m.ts, 0x1234567u);
    EXPECT_EQ(m.body, body);

    Bytes cmd = connect_body(300 - connect_body().size());
    Bytes w = {3, 0xFF, 0xFF, 0xFF, 0, 0x01, 0x2C, 20, 0, 0, 0, 0, 0x01, 0x23, 0x45, 0x67};
    for (size_t done = 0; done < cmd.size(); done += 128) {
        if (done)
            w.insert(w.end(), {0xC3, 0x01, 0x23, 0x45, 0x67});
        w.insert(w.end(), cmd.begin() + (long)done, cmd.begin() + (long)std::min(cmd.size(), done + 128));
    }
    ASSERT_EQ(t.feed(w), 0);
    EXPECT_EQ(names(t.drain()), CONNECT_REPLY);
}

TEST(RtmpChunk, Amf3CommandAnsweredLikeAmf0)
{
    Conn t;
    Bytes body = {0};
    Bytes b = connect_body();
    body.insert(body.end(), b.begin(), b.end());
    ASSERT_EQ(t.feed(chunked(3, 17, body)), 0);
    EXPECT_EQ(names(t.drain()), CONNECT_REPLY);
    Bytes cs = {0};
    Bytes c2 = command("createStream", 2);
    amf_null(c2);
    cs.insert(cs.end(), c2.begin(), c2.end());
    ASSERT_EQ(t.feed(chunked(3, 17, cs)), 0);
    std::vector<Msg> r = t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"3/20/_result"}));
    Bytes want = command("_result", 2);
    amf_null(want);
    amf_num(want, 1);
    EXPECT_EQ(r[0].body, want);
}

bool has(const Bytes &b, const std::string &s)
{
    return std::search(b.begin(), b.end(), s.begin(), s.end()) != b.end();
}

// The channel, the replies, and metadata stamped 0 (where the media starts) that names the
// codecs; the names VLC can play (no ".m3u8") choose a channel as well.
TEST(RtmpChunk, PlayChoosesChannelAndSendsMetadata)
{
    ParamBlock *p = get_param_block();
    uint8_t saved_audio[2] = {p->Video[0].RTMPAudio, p->Video[1].RTMPAudio};
    int saved_mode = stream_mode_setting(p, 1);
    uint32_t saved_guest = p->GuestPermission;
    p->Video[0].RTMPAudio = 1;
    p->Video[1].RTMPAudio = 0;
    stream_mode_setting_set(p, 1, StreamMode_H264_ES);
    p->GuestPermission = PERM_STREAM_VIEW;
    {
        Conn t;
        t.c->ts_offset += 44;   // the play comes 44 ms into the session
        uint32_t tail = log_ring_head();
        ASSERT_EQ(t.feed(chunked(8, 20, play_body("foo"))), 0);
        EXPECT_EQ(t.c->channel, 0u);
        EXPECT_NE(log_since(tail).find("RTMP Stream Name is foo !!!!!"), std::string::npos);
        std::vector<Msg> r = t.drain();
        ASSERT_EQ(names(r), (std::vector<std::string>{"2/4", "20/20/onStatus", "20/20/onStatus", "20/18/onMetaData"}));
        EXPECT_EQ(r[0].body, (Bytes{0, 0, 0, 0, 0, 1}));
        EXPECT_TRUE(has(r[1].body, "NetStream.Play.Reset"));
        EXPECT_TRUE(has(r[2].body, "NetStream.Play.Start"));
        EXPECT_TRUE(has(r[3].body, "Kelvane 7160 RTMP Server"));
        // Control messages on stream 0; the play's statuses and metadata on the stream that
        // createStream named and the media use, where rtmp2src looks for them.
        EXPECT_EQ(r[0].sid, 0u);
        for (int i = 1; i < 4; i++)
            EXPECT_EQ(r[i].sid, t.c->stream_id) << r[i].name();
        EXPECT_EQ(t.c->out_video.stream_id, t.c->stream_id);
        EXPECT_EQ(t.c->out_audio.stream_id, t.c->stream_id);
        // Stamped after the media's 0, demuxers make a text track of it that stalls VLC's clock.
        EXPECT_EQ(r[3].ts, 0u);
        Bytes aac;
        amf_key(aac, "audiocodecid");
        amf_num(aac, 10);
        EXPECT_TRUE(has(r[3].body, std::string(aac.begin(), aac.end()))) << "channel A's RTMP audio is on";
        EXPECT_TRUE(t.c->playing);
    }
    for (const char *name : {"liveB", "streamB.m3u8"}) {
        Conn t;
        char w[16], h[16];
        param_get("Video[1].Width", w, sizeof w);
        param_get("Video[1].Height", h, sizeof h);
        ASSERT_EQ(t.feed(chunked(8, 20, play_body(name))), 0);
        EXPECT_EQ(t.c->channel, 1u) << name;
        EXPECT_EQ(t.c->audio, 0u) << "channel B's RTMP audio is off";
        std::vector<Msg> r = t.drain();
        ASSERT_EQ(r.size(), 4u);
        Bytes meta;
        amf_str(meta, "onMetaData");
        meta.push_back(3);
        amf_key(meta, "width");
        amf_num(meta, atoi(w));
        amf_key(meta, "height");
        amf_num(meta, atoi(h));
        amf_key(meta, "Server");
        amf_str(meta, "Kelvane 7160 RTMP Server");
        amf_key(meta, "videocodecid");
        amf_num(meta, 7);
        amf_end(meta);
        EXPECT_EQ(r[3].body, meta);
        // closeStream answers like createStream and stops the media.
        ASSERT_EQ(t.feed(chunked(8, 20, command("closeStream", 7))), 0);
        EXPECT_EQ(names(t.drain()), (std::vector<std::string>{"3/20/_result"}));
        EXPECT_FALSE(t.c->playing);
    }
    {
        Conn t;
        ASSERT_EQ(t.feed(chunked(8, 20, play_body("liveA"))), 0);
        EXPECT_EQ(t.c->channel, 0u);
    }
    p->Video[0].RTMPAudio = saved_audio[0];
    p->Video[1].RTMPAudio = saved_audio[1];
    stream_mode_setting_set(p, 1, saved_mode);
    p->GuestPermission = saved_guest;
}

// A play refused: logged with its reason, one failed status that names it, and the session ends.
// RTMP carries no credentials, so a guest below Stream View plays nothing; a channel that makes
// JPEG has no pictures the video messages can carry.
TEST(RtmpChunk, PlayRefusedWithItsReason)
{
    ParamBlock *p = get_param_block();
    uint32_t saved = p->GuestPermission;
    int saved_mode = stream_mode_setting(p, 1);
    auto refused = [](const char *stream, const std::string &logged, const std::string &said) {
        Conn t;
        uint32_t tail = log_ring_head();
        EXPECT_LT(t.feed(chunked(8, 20, play_body(stream))), 0);
        EXPECT_FALSE(t.c->playing);
        std::vector<Msg> r = t.drain();
        ASSERT_EQ(names(r), (std::vector<std::string>{"20/20/onStatus"}));
        EXPECT_TRUE(has(r[0].body, "NetStream.Play.Failed"));
        EXPECT_EQ(r[0].sid, t.c->stream_id) << "on the play's stream";
        EXPECT_TRUE(has(r[0].body, said)) << std::string(r[0].body.begin(), r[0].body.end());
        EXPECT_NE(log_since(tail).find("rtmp: play " + std::string(stream) + " refused: " + logged), std::string::npos);
    };
    p->GuestPermission = PERM_NONE;
    refused("streamA.m3u8", "the guest may not view streams", "Not authorized");
    p->GuestPermission = PERM_STREAM_VIEW;
    stream_mode_setting_set(p, 1, StreamMode_JPEG);
    refused("liveB", "channel B is set to MJPEG VES; RTMP carries H.264", "channel B is set to MJPEG VES; RTMP carries H.264");
    {
        Conn t;
        ASSERT_EQ(t.feed(chunked(8, 20, play_body("streamA.m3u8"))), 0);
        EXPECT_TRUE(t.c->playing);
    }
    p->GuestPermission = saved;
    stream_mode_setting_set(p, 1, saved_mode);
}

TEST(RtmpChunk, BadInputEndsTheSession)
{
    {
        Conn t;   // a chunk size of zero would never consume payload
        EXPECT_EQ(t.feed(chunked(2, 1, {0, 0, 0, 0})), -1);
    }
    {
        Conn t;
        EXPECT_EQ(t.feed(chunked(2, 1, {0x80, 0, 0, 0})), -1);
    }
    {
        Conn t;   // a message above the reassembly cap
        Bytes h = {3, 0, 0, 0, 0x10, 0x00, 0x01, 20, 0, 0, 0, 0};
        EXPECT_EQ(t.feed(h), -1);
    }
    {
        Conn t;   // nested objects past the limit
        Bytes b = command("connect", 1);
        for (int i = 0; i < 40; i++) {
            b.push_back(3);
            amf_key(b, "a");
        }
        b.push_back(5);
        EXPECT_EQ(t.feed(chunked(3, 20, b)), -1);
    }
    {
        Conn t;   // twenty chunk streams: only nineteen are tracked
        int rc = 0;
        for (uint32_t id = 2; id < 22 && rc == 0; id++) {
            Bytes h = {(uint8_t)id, 0, 0, 0, 0, 0, 200, 20, 0, 0, 0, 0};   // first chunk of a 200-byte message
            h.insert(h.end(), 128, 5);
            rc = t.feed(h);
        }
        EXPECT_EQ(rc, -1);
    }
    {
        Conn t;   // unterminated object: the message is dropped, the session goes on
        Bytes b = command("foo", 1);
        b.push_back(3);
        amf_key(b, "a");
        EXPECT_EQ(t.feed(chunked(3, 20, b)), 0);
        EXPECT_EQ(t.feed(chunked(3, 20, connect_body())), 0);
        EXPECT_EQ(names(t.drain()), CONNECT_REPLY);
    }
}

TEST(RtmpMedia, TimestampsRiseAcrossTheClockWrap)
{
    hw_clock_90khz();
    platform_clock90k_set(0xFFFFFFFFu - 90 * 150);   // 150 ms before the wrap
    Conn t;
    uint32_t prev = rtmp_timestamp_ms(t.c, hw_clock_90khz());
    EXPECT_LE(prev, 5u);
    for (int i = 0; i < 30; i++) {
        usleep(10000);
        uint32_t now = rtmp_timestamp_ms(t.c, hw_clock_90khz());
        EXPECT_GE(now, prev) << "step " << i;
        prev = now;
    }
    EXPECT_LT(hw_clock_90khz(), 0x80000000u) << "the counter wrapped during the test";
    EXPECT_GE(prev, 290u);
    EXPECT_LE(prev, 1000u);
    // Media stamps straddling the wrap, 40 ms apart.
    rtmp_timestamp_reset(t.c, 0xFFFFFFFFu - 3600 * 2);
    uint32_t a = rtmp_timestamp_ms(t.c, 0xFFFFFFFFu - 3600);
    uint32_t b = rtmp_timestamp_ms(t.c, 2500);
    EXPECT_EQ(a, 40u);
    EXPECT_NEAR((double)b, 40.0 + 3601 / 90.0 + 2500 / 90.0, 1.0);

    // Audio from just before the wrap sent after a picture from just after it, then the next
    // picture: the wrap is counted once and the audio keeps its place before the picture.
    uint32_t c = rtmp_timestamp_ms(t.c, 0xFFFFFFFFu - 900);
    uint32_t d = rtmp_timestamp_ms(t.c, 2500 + 3003);
    EXPECT_NEAR((double)c, 40.0 + (3600 - 900) / 90.0, 1.0);
    EXPECT_NEAR((double)d, (double)b + 3003 / 90.0, 1.0) << "no second wrap counted";
    // Audio stamped a little before the picture ahead of it, and a reply on the clock ahead.
    EXPECT_NEAR((double)rtmp_timestamp_ms(t.c, 2500 + 2000), (double)b + 2000 / 90.0, 1.0);
    EXPECT_NEAR((double)rtmp_timestamp_ms(t.c, 2500 + 3003 + 9000), (double)d + 100, 1.0);
}

namespace {

// Annex B helpers.
Bytes nal(uint8_t type_byte, size_t len, uint8_t fill)
{
    Bytes b = {0, 0, 0, 1, type_byte};
    for (size_t i = 1; i < len; i++)
        b.push_back(fill);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes o;
    for (const Bytes &p : parts)
        o.insert(o.end(), p.begin(), p.end());
    return o;
}

// Splits a video message body after its 5-byte header into its length-prefixed units.
std::vector<Bytes> units(const Bytes &body)
{
    std::vector<Bytes> v;
    size_t p = 5;
    while (p + 4 <= body.size()) {
        size_t n = (size_t)body[p] << 24 | body[p + 1] << 16 | body[p + 2] << 8 | body[p + 3];
        if (p + 4 + n > body.size())
            return {};
        v.emplace_back(body.begin() + (long)p + 4, body.begin() + (long)(p + 4 + n));
        p += 4 + n;
    }
    return p == body.size() ? v : std::vector<Bytes>{};
}

Bytes adts(size_t payload, uint8_t fill)
{
    size_t len = payload + 7;
    // AAC LC, 48 kHz, 2 channels, no CRC.
    Bytes b = {0xFF, 0xF1, 0x4C, (uint8_t)(0x80 | (len >> 11)), (uint8_t)(len >> 3), (uint8_t)((len & 7) << 5 | 0x1F),
               0xFC};
    b.insert(b.end(), payload, fill);
    return b;
}

} // namespace

TEST(RtmpMedia, AccessUnitWithSeiAndTwoSlicesKeepsEachUnit)
{
    Conn t;
    Bytes sps = nal(0x67, 12, 0x11), pps = nal(0x68, 4, 0x22), sei = nal(0x06, 20, 0x33);
    sps[5] = 0x64;   // profile 100, compatibility 0, level 40
    sps[6] = 0x00;
    sps[7] = 0x28;
    Bytes s1 = nal(0x65, 300, 0x44), s2 = nal(0x65, 200, 0x55);
    Bytes au = cat({sps, pps, sei, s1, s2});
    t.c->out_video.timestamp = 0;
    ASSERT_EQ(rtmp_send_video(t.c, &t.c->out_video, au.data(), au.size()), 0);
    std::vector<Msg> r = t.drain();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].cs, 21u);
    EXPECT_EQ(r[0].type, 9u);
    EXPECT_EQ(r[0].sid, 1u);
    Bytes rec = {0x17, 0, 0, 0, 0, 1, 0x64, 0x00, 0x28, 0xFF, 0xE1, 0, 12};
    rec.insert(rec.end(), sps.begin() + 4, sps.end());
    rec.insert(rec.end(), {1, 0, 4});
    rec.insert(rec.end(), pps.begin() + 4, pps.end());
    EXPECT_EQ(r[0].body, rec);
    EXPECT_EQ(Bytes(r[1].body.begin(), r[1].body.begin() + 5), (Bytes{0x17, 1, 0, 0, 0}));
    std::vector<Bytes> u = units(r[1].body);
    ASSERT_EQ(u.size(), 3u) << "SEI and both slices, each with its own length";
    EXPECT_EQ(u[0], Bytes(sei.begin() + 4, sei.end()));
    EXPECT_EQ(u[1], Bytes(s1.begin() + 4, s1.end()));
    EXPECT_EQ(u[2], Bytes(s2.begin() + 4, s2.end()));

    // An inter frame with a 3-byte start code in the middle.
    Bytes p1 = nal(0x41, 100, 0x66), p2 = {0, 0, 1, 0x41, 0x77, 0x77};
    Bytes inter = cat({p1, p2});
    ASSERT_EQ(rtmp_send_video(t.c, &t.c->out_video, inter.data(), inter.size()), 0);
    r = t.drain();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body[0], 0x27);
    u = units(r[0].body);
    ASSERT_EQ(u.size(), 2u);
    EXPECT_EQ(u[1], (Bytes{0x41, 0x77, 0x77}));

    // SPS too large for the 256-byte record: skipped with a log line, the picture still sent.
    uint32_t tail = log_ring_head();
    Bytes big = cat({nal(0x67, 300, 0x11), pps, s1});
    ASSERT_EQ(rtmp_send_video(t.c, &t.c->out_video, big.data(), big.size()), 0);
    r = t.drain();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body[1], 1);
    EXPECT_NE(log_since(tail).find("do not fit the configuration record"), std::string::npos);

    // An SPS with no PPS behind it: the log says the PPS is missing, not that something was too big.
    tail = log_ring_head();
    Bytes lone = cat({sps, s1});
    ASSERT_EQ(rtmp_send_video(t.c, &t.c->out_video, lone.data(), lone.size()), 0);
    r = t.drain();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body[1], 1);
    std::string said = log_since(tail);
    EXPECT_NE(said.find("SPS of 12 bytes without a PPS"), std::string::npos) << said;
    EXPECT_EQ(said.find("do not fit"), std::string::npos) << said;
}

TEST(RtmpMedia, AacSequenceHeaderThenRawFrames)
{
    Conn t;
    Bytes f = adts(200, 0x5A);
    ASSERT_EQ(rtmp_send_audio(t.c, &t.c->out_audio, f.data(), f.size()), 0);
    ASSERT_EQ(rtmp_send_audio(t.c, &t.c->out_audio, f.data(), f.size()), 0);
    std::vector<Msg> r = t.drain();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].body, (Bytes{0xAF, 0, 0x11, 0x90}));
    EXPECT_EQ(r[0].cs, 20u);
    EXPECT_EQ(r[0].type, 8u);
    Bytes raw = {0xAF, 1};
    raw.insert(raw.end(), 200, 0x5A);
    EXPECT_EQ(r[1].body, raw);
    EXPECT_EQ(r[2].body, raw);
    // A lying frame length reads no further than the frame.
    Bytes liar = adts(10, 1);
    liar[3] |= 3;
    liar[4] = 0xFF;
    ASSERT_EQ(rtmp_send_audio(t.c, &t.c->out_audio, liar.data(), liar.size()), 0);
    r = t.drain();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].body.size(), 12u);
}

namespace {

struct MediaRig {
    TestQueue video{VIDEO_STREAM1, 1 << 20, 64};
    TestQueue audio{AAC_STREAM, 1 << 18, 64};
    Conn t;
    MediaRig()
    {
        stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &t.c->video);
        stream_state_attach(AAC_STREAM, StreamMode_Audio_AAC, &t.c->audio_state);
        t.c->audio = 1;
        t.c->playing = 1;
        t.c->first_frame = 1;
    }
    ~MediaRig() { rtmp_media_detach(t.c); }
    void put_video(const Bytes &b, uint32_t ts, bool key) { video.put((uint32_t)b.size(), ts, key ? 1 : 0, 0, b.data()); }
    void put_audio(const Bytes &b, uint32_t ts) { audio.put((uint32_t)b.size(), ts, 0, 0, b.data()); }
};

Bytes idr()
{
    Bytes sps = nal(0x67, 10, 0x11);
    return cat({sps, nal(0x68, 4, 0x22), nal(0x65, 400, 0x44)});
}

} // namespace

TEST(RtmpMedia, AudioWindowAroundTheFirstVideoFrame)
{
    MediaRig m;
    uint32_t now = hw_clock_90khz();
    uint32_t v = now - 20000;
    m.put_audio(adts(50, 1), v - 10000);   // too old: dropped
    m.put_audio(adts(51, 2), v - 5000);    // recent: before the picture, and the clock starts at it
    m.put_audio(adts(52, 3), v + 1500);    // newer: after the picture
    m.put_video(idr(), v, true);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    std::vector<Msg> r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"20/8", "20/8", "21/9", "21/9", "20/8"}));
    uint32_t base = v - 5000;
    auto ms = [base](uint32_t stamp) { return stamp / 90 - base / 90; };
    EXPECT_EQ(r[0].body, (Bytes{0xAF, 0, 0x11, 0x90}));
    EXPECT_EQ(r[1].body.size(), 2u + 51);
    EXPECT_EQ(r[1].ts, 0u) << "the first media message has timestamp 0";
    EXPECT_EQ(r[2].ts, ms(v));
    EXPECT_EQ(r[3].ts, ms(v));
    EXPECT_EQ(r[4].body.size(), 2u + 52);
    EXPECT_EQ(r[4].ts, ms(v + 1500));

    // The next picture: audio just older than it goes before it, newer audio after it.
    m.put_audio(adts(53, 4), v + 3000);
    m.put_video(nal(0x41, 100, 9), v + 3003, false);
    m.put_audio(adts(54, 5), v + 3100);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"20/8", "21/9", "20/8"}));
    EXPECT_EQ(r[0].ts, ms(v + 3000));
    EXPECT_EQ(r[1].ts, ms(v + 3003));
    EXPECT_EQ(r[1].body[0], 0x27);
    EXPECT_EQ(r[2].ts, ms(v + 3100));
}

TEST(RtmpMedia, AudioTimestampsNeverGoBack)
{
    MediaRig m;
    uint32_t v = hw_clock_90khz() - 20000;
    // Audio taken after a picture is raised to at least its stamp, so a frame captured before
    // the picture but taken later (as when it arrives while the picture goes out) must still
    // not go out earlier than the audio already sent. An older frame queued behind a newer one
    // stands in for that race here.
    m.put_audio(adts(50, 1), v + 1920);
    m.put_audio(adts(51, 2), v - 1920);
    m.put_video(idr(), v, true);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    m.put_audio(adts(52, 3), v - 100);
    m.put_video(nal(0x41, 100, 9), v + 3003, false);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    std::vector<Msg> r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"21/9", "21/9", "20/8", "20/8", "20/8", "20/8", "21/9"}));
    uint32_t last = 0;
    for (const Msg &x : r) {
        if (x.type != 8)
            continue;
        EXPECT_GE(x.ts, last) << "audio timestamps go back";
        last = x.ts;
    }
    EXPECT_EQ(r[5].ts, r[4].ts) << "the late frame goes out at the stamp of the one before it";
}

TEST(RtmpMedia, AudioFromBeforeTheFirstPictureArrivingAfterItIsDropped)
{
    MediaRig m;
    uint32_t v = hw_clock_90khz() - 20000;
    m.put_video(idr(), v, true);   // no audio yet: the clock starts at the picture
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    m.put_audio(adts(50, 1), v - 1260);   // captured 14 ms before it, in the window of the next
    m.put_audio(adts(51, 2), v + 1000);
    m.put_video(nal(0x41, 100, 9), v + 3003, false);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    std::vector<Msg> r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"21/9", "21/9", "20/8", "20/8", "21/9"}));
    EXPECT_EQ(r[0].ts, 0u);
    EXPECT_EQ(r[3].body.size(), 2u + 51) << "the frame from before the start is dropped";
    EXPECT_EQ(r[3].ts, (v + 1000) / 90 - v / 90);
}

TEST(RtmpMedia, LateFramesCatchUpToTheNextKeyframe)
{
    MediaRig m;
    m.t.c->audio = 0;
    uint32_t now = hw_clock_90khz();
    m.put_video(idr(), now - 9000, true);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    ASSERT_EQ(m.t.drain().size(), 2u);
    uint32_t tail = log_ring_head();
    m.put_video(nal(0x41, 100, 1), now - 200000, false);   // more than a second late
    m.put_video(nal(0x41, 100, 2), now - 3000, false);     // recent, but no keyframe
    m.put_video(nal(0x41, 100, 3), now - 2000, false);
    m.put_video(idr(), now - 1000, true);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    EXPECT_NE(log_since(tail).find("catching up"), std::string::npos);
    std::vector<Msg> r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"21/9", "21/9"}));
    EXPECT_EQ(r[0].body[1], 0) << "the keyframe's configuration";
    EXPECT_EQ(r[1].body[0], 0x17);
    EXPECT_EQ(r[1].ts, (now - 1000) / 90 - (now - 9000) / 90);
    EXPECT_EQ(m.t.c->catch_up, 0);
}

TEST(RtmpMedia, APlayerKeepingUpWithALateEncoderGetsEveryFrame)
{
    MediaRig m;
    m.t.c->audio = 0;
    // A loaded machine: the encoder delivers every picture two seconds after its capture.
    uint32_t v = hw_clock_90khz() - 180000;
    uint32_t tail = log_ring_head();
    for (int i = 0; i < 6; i++) {
        m.put_video(i == 0 ? idr() : nal(0x41, 100, (uint8_t)(i + 1)), v + 3003 * i, i == 0);
        ASSERT_EQ(rtmp_media_step(m.t.c), 0);
        std::vector<Msg> r = m.t.drain(50);
        ASSERT_EQ(r.size(), i == 0 ? 2u : 1u) << "frame " << i;
        EXPECT_EQ(r.back().ts, (v + 3003 * i) / 90 - v / 90);
    }
    EXPECT_EQ(log_since(tail).find("catching up"), std::string::npos);
}

TEST(RtmpMedia, APlayerJoiningMidGopStartsAtTheNextKeyframe)
{
    MediaRig m;
    uint32_t now = hw_clock_90khz();
    m.put_audio(adts(50, 1), now - 6000);
    m.put_video(nal(0x41, 100, 1), now - 5000, false);
    m.put_audio(adts(50, 2), now - 4000);
    m.put_video(nal(0x41, 100, 2), now - 2000, false);
    m.put_audio(adts(51, 3), now - 1500);
    m.put_video(idr(), now - 1000, true);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    std::vector<Msg> r = m.t.drain();
    // Dropped pictures take their audio with them, up to the first audio frame after each.
    ASSERT_EQ(names(r), (std::vector<std::string>{"21/9", "21/9"}));
    EXPECT_EQ(r[0].body[1], 0) << "the configuration first";
    EXPECT_EQ(r[1].body[0], 0x17);
    EXPECT_EQ(r[1].ts, 0u);
    m.put_audio(adts(52, 4), now - 900);
    m.put_video(nal(0x41, 100, 3), now - 700, false);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"20/8", "20/8", "21/9"})) << "configuration, audio, picture";
    EXPECT_EQ(r[0].body, (Bytes{0xAF, 0, 0x11, 0x90}));
}

TEST(RtmpMedia, EndOfStreamEndsTheSessionOnlyAfterItsFirstPicture)
{
    MediaRig m;
    uint32_t now = hw_clock_90khz();
    // Joined as the last player left: the run's end mark comes first, then the restarted run.
    m.put_video(Bytes(), 0, false);
    m.put_video(idr(), now - 3000, true);
    ASSERT_EQ(rtmp_media_step(m.t.c), 0);
    std::vector<Msg> r = m.t.drain();
    ASSERT_EQ(names(r), (std::vector<std::string>{"21/9", "21/9"}));
    EXPECT_EQ(r[1].body[0], 0x17);
    m.put_video(Bytes(), 0, false);
    EXPECT_EQ(rtmp_media_step(m.t.c), -1);
}

TEST(RtmpMedia, APlayerThatStopsReadingIsCut)
{
    RtmpLimits l = *rtmp_limits();
    l.send_seconds = 1;
    rtmp_set_limits(&l);
    MediaRig m;
    int small = 8192;
    setsockopt(m.t.c->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    struct timeval tv = {10, 0};   // as a session sets it
    setsockopt(m.t.c->sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    uint32_t now = hw_clock_90khz(), tail = log_ring_head();
    Bytes big = cat({nal(0x67, 10, 0x11), nal(0x68, 4, 0x22), nal(0x65, 300000, 0x44)});
    m.put_video(big, now - 3000, true);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rtmp_media_step(m.t.c), -1);   // the peer never reads
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 3.0);
    EXPECT_NE(log_since(tail).find("rtmp: player not reading for 1 s"), std::string::npos);
    rtmp_set_limits(nullptr);
}

namespace {

struct Session {
    Conn t;
    pthread_t thread;
    static void *run(void *arg)
    {
        rtmp_session_run(static_cast<RtmpConnection *>(arg));
        return nullptr;
    }
    Session() { pthread_create(&thread, nullptr, run, t.c); }
    void join()
    {
        shutdown(t.peer.fd, SHUT_RDWR);
        pthread_join(thread, nullptr);
    }
    // Plain C0 + C1, reads S0 S1 S2; returns S1.
    Bytes hello()
    {
        Bytes c01(1 + 1536, 0x5C);
        c01[0] = 3;
        t.peer.send_bytes(c01);
        while (t.peer.in.size() < 3073)
            if (!t.peer.fill(3000))
                return {};
        Bytes s1(t.peer.in.begin() + 1, t.peer.in.begin() + 1537);
        t.peer.in.erase(t.peer.in.begin(), t.peer.in.begin() + 3073);
        return s1;
    }
};

} // namespace

TEST(RtmpSession, HandshakeEchoAndRefusal)
{
    {
        Session s;
        Bytes s1 = s.hello();
        ASSERT_EQ(s1.size(), 1536u);
        s.t.peer.send_bytes(s1);   // C2 echoes S1
        s.t.peer.send_bytes(chunked(3, 20, connect_body()));
        EXPECT_EQ(names(s.t.drain(500)), CONNECT_REPLY);
        s.join();
    }
    {
        Session s;
        uint32_t tail = log_ring_head();
        Bytes s1 = s.hello();
        ASSERT_EQ(s1.size(), 1536u);
        s1[100] ^= 1;
        s.t.peer.send_bytes(s1);
        pthread_join(s.thread, nullptr);
        EXPECT_NE(log_since(tail).find("RTMP handshake error -3"), std::string::npos);
    }
}

TEST(RtmpSession, AStalledPeerHoldsUpNoOtherSession)
{
    Session stalled, other;
    Bytes s1 = stalled.hello();
    ASSERT_EQ(s1.size(), 1536u);
    stalled.t.peer.send_bytes(s1);
    Bytes wire = chunked(3, 20, connect_body());
    stalled.t.peer.send_bytes(Bytes(wire.begin(), wire.end() - 10));   // and never the rest
    Bytes o1 = other.hello();
    ASSERT_EQ(o1.size(), 1536u);
    other.t.peer.send_bytes(o1);
    other.t.peer.send_bytes(wire);
    EXPECT_EQ(names(other.t.drain(500)), CONNECT_REPLY);
    EXPECT_TRUE(stalled.t.drain(100).empty());
    stalled.join();
    other.join();
}

TEST(RtmpSession, PlaysTheFakeProducersChannel)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    ParamBlock *p = get_param_block();
    p->Video[0].RTMPAudio = 1;
    p->GuestPermission = PERM_STREAM_VIEW;   // RTMP plays only what a guest may view
    {
        Session s;
        Bytes s1 = s.hello();
        ASSERT_EQ(s1.size(), 1536u);
        s.t.peer.send_bytes(s1);
        s.t.peer.send_bytes(chunked(3, 20, connect_body()));
        Bytes cs = command("createStream", 2);
        amf_null(cs);
        s.t.peer.send_bytes(chunked(3, 20, cs));
        s.t.peer.send_bytes(chunked(8, 20, play_body("streamA.m3u8"), 128, 1));
        std::vector<Msg> got;
        Msg m;
        int video = 0, audio = 0;
        while ((video < 60 || audio < 60) && s.t.peer.next(m, 3000)) {
            got.push_back(m);
            video += m.type == 9;
            audio += m.type == 8;
        }
        ASSERT_GE(video, 60);
        ASSERT_GE(audio, 60);
        std::vector<std::string> n = names(got);
        std::vector<std::string> head(n.begin(), n.begin() + 10);
        EXPECT_EQ(head, (std::vector<std::string>{"2/5", "2/6", "2/4", "3/20/_result", "3/20/onBWDone",
                                                  "3/20/_result", "2/4", "20/20/onStatus", "20/20/onStatus",
                                                  "20/18/onMetaData"}));
        const Msg *first_video = nullptr, *first_audio = nullptr;
        uint32_t last_video_ts = 0, first_ts = UINT32_MAX;
        for (const Msg &x : got) {
            if (x.type != 8 && x.type != 9)
                continue;
            first_ts = std::min(first_ts, x.ts);
            if (x.type == 9) {
                if (!first_video)
                    first_video = &x;
                EXPECT_GE(x.ts, last_video_ts);
                last_video_ts = x.ts;
            } else if (!first_audio)
                first_audio = &x;
        }
        EXPECT_EQ(first_ts, 0u);
        ASSERT_TRUE(first_video && first_audio);
        EXPECT_EQ(first_video->body[0], 0x17);
        EXPECT_EQ(first_video->body[1], 0) << "the configuration record comes first";
        EXPECT_EQ(first_audio->body, (Bytes{0xAF, 0, 0x11, 0x90}));
        EXPECT_GE(last_video_ts, 1500u);
        s.join();
    }
    fakeproducer_stop(fp);
}

// ---- Limits against clients that hold connections ----

namespace {

// A loopback listener; its accepted sockets stand for connections from any address we name.
struct Loopback {
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in addr = {};
    std::vector<int> clients;
    Loopback()
    {
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(bind(ls, (struct sockaddr *)&addr, sizeof addr), 0);
        EXPECT_EQ(listen(ls, 64), 0);
        getsockname(ls, (struct sockaddr *)&addr, &len);
    }
    ~Loopback()
    {
        for (int c : clients)
            close(c);
        close(ls);
    }
    int dial()
    {
        int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(c, (struct sockaddr *)&addr, sizeof addr), 0);
        clients.push_back(c);
        return c;
    }
    // The server's end of a new connection, started as a session from `from`.
    int start_from(const char *from)
    {
        dial();
        struct pollfd p = {ls, POLLIN, 0};
        poll(&p, 1, 2000);
        int s = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        struct sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        inet_pton(AF_INET, from, &peer.sin_addr);
        return rtmp_session_start(s, &peer);
    }
};

// True when the server closed the client's connection within ms.
bool closed_within(int client, int ms)
{
    struct pollfd p = {client, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return false;
    char b[4096];
    return recv(client, b, sizeof b, MSG_DONTWAIT) <= 0;
}

bool sessions_drop_to(int n, int ms)
{
    for (int i = 0; i < ms / 20 && rtmp_session_count() > n; i++)
        usleep(20000);
    return rtmp_session_count() <= n;
}

} // namespace

TEST(RtmpLimits, SessionsCappedInAllAndPerAddressRefusalsLoggedOnceASecond)
{
    RtmpLimits l = {4, 2, 30, 10};
    rtmp_set_limits(&l);
    {
        Loopback lb;
        uint32_t tail = log_ring_head();
        EXPECT_EQ(lb.start_from("127.0.0.2"), 0);
        EXPECT_EQ(lb.start_from("127.0.0.2"), 0);
        EXPECT_EQ(lb.start_from("127.0.0.2"), -1) << "a third from one address";
        EXPECT_TRUE(closed_within(lb.clients[2], 500)) << "a refused connection is closed at once";
        EXPECT_FALSE(closed_within(lb.clients[0], 100));
        EXPECT_EQ(lb.start_from("127.0.0.3"), 0) << "another address still gets in";
        EXPECT_EQ(lb.start_from("127.0.0.4"), 0);
        // Full: a newcomer takes the place of an idle session of the address holding two.
        EXPECT_EQ(lb.start_from("127.0.0.5"), 0);
        EXPECT_TRUE(closed_within(lb.clients[0], 2000));
        EXPECT_TRUE(sessions_drop_to(4, 3000));
        EXPECT_EQ(lb.start_from("127.0.0.6"), -1) << "over the total, every address holding one";
        EXPECT_EQ(rtmp_session_count(), 4);
        for (int i = 0; i < 50; i++)
            lb.start_from("127.0.0.2");
        std::string log = log_since(tail);
        EXPECT_LE(test_count(log, "rtmp: connection from"), 2u) << log;
        EXPECT_NE(log.find("refused: 2 sessions from that address"), std::string::npos);
        for (int c : lb.clients)
            shutdown(c, SHUT_RDWR);
        EXPECT_TRUE(sessions_drop_to(0, 3000));
    }
    rtmp_set_limits(nullptr);
}

TEST(RtmpLimits, ASessionThatDoesNotPlayIsClosedAndOneThatPlaysIsNot)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    get_param_block()->GuestPermission = PERM_STREAM_VIEW;
    RtmpLimits l = *rtmp_limits();
    l.idle_seconds = 1;
    rtmp_set_limits(&l);
    {
        uint32_t tail = log_ring_head();
        Session silent, trickle, connected, player;
        Bytes s1 = connected.hello();
        ASSERT_EQ(s1.size(), 1536u);
        connected.t.peer.send_bytes(s1);
        connected.t.peer.send_bytes(chunked(3, 20, connect_body()));
        Bytes p1 = player.hello();
        ASSERT_EQ(p1.size(), 1536u);
        player.t.peer.send_bytes(p1);
        player.t.peer.send_bytes(chunked(3, 20, connect_body()));
        player.t.peer.send_bytes(chunked(8, 20, play_body("streamA.m3u8"), 128, 1));
        // A handshake sent a byte at a time, never finishing within the limit.
        for (int i = 0; i < 12; i++) {
            trickle.t.peer.send_bytes(Bytes(1, 3));
            usleep(200000);
        }
        struct timespec limit;
        clock_gettime(CLOCK_REALTIME, &limit);
        limit.tv_sec += 2;
        for (Session *s : {&silent, &trickle, &connected}) {
            if (pthread_timedjoin_np(s->thread, nullptr, &limit) != 0) {
                ADD_FAILURE() << "a session that does not play outlived the limit";
                s->join();
            }
        }
        // The player kept on getting pictures all the while.
        int video = 0;
        Msg m;
        while (video < 30 && player.t.peer.next(m, 3000))
            video += m.type == 9;
        EXPECT_GE(video, 30);
        EXPECT_EQ(pthread_tryjoin_np(player.thread, nullptr), EBUSY);
        std::string log = log_since(tail);
        EXPECT_EQ(test_count(log, "not playing for 1 s"), 1u) << log;   // the other two in the handshake
        player.join();
    }
    rtmp_set_limits(nullptr);
    fakeproducer_stop(fp);
}

namespace {

// Handshake, "connect" and "play" of channel A on a dialled connection; true once a picture came.
bool play_on(int fd)
{
    Peer p;
    p.fd = fd;
    Bytes c01(1 + 1536, 0x5C);
    c01[0] = 3;
    p.send_bytes(c01);
    while (p.in.size() < 3073)
        if (!p.fill(3000))
            return false;
    Bytes s1(p.in.begin() + 1, p.in.begin() + 1537);
    p.in.clear();
    p.send_bytes(s1);
    p.send_bytes(chunked(3, 20, connect_body()));
    p.send_bytes(chunked(8, 20, play_body("streamA.m3u8"), 128, 1));
    Msg m;
    while (p.next(m, 3000))
        if (m.type == 9)
            return true;
    return false;
}

// Bytes a player's socket still receives within ms (its media goes on).
size_t flowing(int fd, int ms)
{
    size_t n = 0;
    char b[65536];
    for (auto t0 = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(ms);) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            ssize_t r = recv(fd, b, sizeof b, MSG_DONTWAIT);
            if (r <= 0)
                return 0;
            n += (size_t)r;
        }
    }
    return n;
}

} // namespace

// A newcomer to a full server takes the place of the session not playing for longest, from an
// address that holds at least two more than the newcomer's; a player is never put out, though
// its address holds the most and it has been there longest, and the addresses put out cannot
// take each other's places in turn.
TEST(RtmpLimits, NewcomerTakesTheLongestIdleSessionsPlaceNeverAPlayers)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    get_param_block()->GuestPermission = PERM_STREAM_VIEW;
    RtmpLimits l = {5, 3, 30, 10, 0};
    rtmp_set_limits(&l);
    {
        Loopback lb;
        uint32_t tail = log_ring_head();
        ASSERT_EQ(lb.start_from("127.0.0.2"), 0);
        int player = lb.clients[0];
        ASSERT_TRUE(play_on(player));
        const char *order[] = {"127.0.0.3", "127.0.0.2", "127.0.0.3", "127.0.0.2"};
        for (const char *from : order) {
            usleep(20000);   // each idle for a different time, all for less than the player
            ASSERT_EQ(lb.start_from(from), 0) << from;
        }
        int idle_a = lb.clients[1], idle_b = lb.clients[2], idle_c = lb.clients[3], idle_d = lb.clients[4];

        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(lb.start_from("127.0.0.4"), 0);
        EXPECT_TRUE(closed_within(idle_a, 2000)) << "the longest idle, of an address holding two";
        EXPECT_EQ(lb.start_from("127.0.0.5"), 0);
        EXPECT_TRUE(closed_within(idle_b, 2000)) << "then the player's address's oldest idle one";
        EXPECT_EQ(lb.start_from("127.0.0.6"), 0);
        EXPECT_TRUE(closed_within(idle_d, 2000));
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_TRUE(sessions_drop_to(5, 3000));
        // Every address holds one now: nobody is put out, the player least of all.
        EXPECT_EQ(lb.start_from("127.0.0.7"), -1);
        EXPECT_EQ(lb.start_from("127.0.0.3"), -1) << "an address put out does not put out another";
        EXPECT_FALSE(closed_within(idle_c, 200));
        EXPECT_GT(flowing(player, 1000), 0u) << "the player plays on";
        std::string log = log_since(tail);
        EXPECT_NE(log.find("rtmp: session from 127.0.0.3 not playing for "), std::string::npos) << log;
        EXPECT_NE(log.find(" s closed for a connection from 127.0.0.4:"), std::string::npos) << log;
        EXPECT_LE(test_count(log, "closed for a connection from"), 1u + (size_t)seconds) << "at most once a second";
        for (int c : lb.clients)
            shutdown(c, SHUT_RDWR);
        EXPECT_TRUE(sessions_drop_to(0, 3000));
    }
    rtmp_set_limits(nullptr);
    fakeproducer_stop(fp);
}

// A player that stopped reading is judged by its flow within the window, though its session's
// write waits on a full socket far longer: a newcomer from another address takes its place.
TEST(RtmpLimits, APlayerStuckOnAFullSocketIsJudgedWithinTheWindow)
{
    FakeProducer *fp = fakeproducer_start();
    ASSERT_NE(fp, nullptr);
    get_param_block()->GuestPermission = PERM_STREAM_VIEW;
    RtmpLimits l = {1, 1, 30, 30, 300};
    rtmp_set_limits(&l);
    {
        Loopback lb;
        int player = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), small = 4096;
        setsockopt(player, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_EQ(connect(player, (struct sockaddr *)&lb.addr, sizeof lb.addr), 0);
        lb.clients.push_back(player);
        struct pollfd p = {lb.ls, POLLIN, 0};
        poll(&p, 1, 2000);
        int s = accept4(lb.ls, nullptr, nullptr, SOCK_CLOEXEC);
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        struct sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &peer.sin_addr);
        ASSERT_EQ(rtmp_session_start(s, &peer), 0);
        ASSERT_TRUE(play_on(player));
        auto t0 = std::chrono::steady_clock::now();
        bool taken = false;
        while (!taken && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(16)) {
            usleep(500000);
            taken = lb.start_from("127.0.0.3") == 0;
        }
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_TRUE(taken) << "the stuck player still held its place after " << waited << " ms";
        for (int c : lb.clients)
            shutdown(c, SHUT_RDWR);
        EXPECT_TRUE(sessions_drop_to(0, 5000));
    }
    rtmp_set_limits(nullptr);
    fakeproducer_stop(fp);
}

// Sessions idle past the eviction age give way to newcomers from any address, though each
// address holds one, the longest idle first; an address just put out takes none back at once.
TEST(RtmpLimits, LongIdleSessionsGiveWayToAnyNewcomer)
{
    RtmpLimits l = {3, 3, 30, 10, 300};
    rtmp_set_limits(&l);
    {
        Loopback lb;
        for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
            ASSERT_EQ(lb.start_from(from), 0) << from;
            usleep(20000);
        }
        EXPECT_EQ(lb.start_from("127.0.0.5"), -1) << "idle for less than the age, one per address";
        usleep(400000);
        EXPECT_EQ(lb.start_from("127.0.0.5"), 0);
        EXPECT_TRUE(closed_within(lb.clients[0], 2000)) << "the longest idle";
        EXPECT_TRUE(sessions_drop_to(3, 3000));
        EXPECT_EQ(lb.start_from("127.0.0.2"), -1) << "put out just now";
        EXPECT_EQ(lb.start_from("127.0.0.6"), 0);
        EXPECT_TRUE(closed_within(lb.clients[1], 2000));
        EXPECT_FALSE(closed_within(lb.clients[2], 100));
        for (int c : lb.clients)
            shutdown(c, SHUT_RDWR);
        EXPECT_TRUE(sessions_drop_to(0, 3000));
    }
    rtmp_set_limits(nullptr);
}

// A handshake still arriving after a couple of seconds gives way to a newcomer long before the
// idle limit, though each address holds one; a fresh one does not.
TEST(RtmpLimits, SlowHandshakeGivesWayFreshOneDoesNot)
{
    RtmpLimits l = {3, 3, 30, 10, 600000};   // no session reaches the idle age
    rtmp_set_limits(&l);
    {
        Loopback lb;
        for (const char *from : {"127.0.0.2", "127.0.0.3", "127.0.0.4"})
            ASSERT_EQ(lb.start_from(from), 0) << from;
        uint8_t start[17] = {3};
        ASSERT_EQ(send(lb.clients[1], start, sizeof start, 0), (ssize_t)sizeof start);
        usleep(300000);
        EXPECT_EQ(lb.start_from("127.0.0.5"), -1) << "a fresh handshake";
        usleep(EVICT_SLOW_HEAD_MS * 1000);
        uint32_t tail = log_ring_head();
        EXPECT_EQ(lb.start_from("127.0.0.6"), 0) << "a slow handshake";
        EXPECT_TRUE(closed_within(lb.clients[1], 2000));
        EXPECT_FALSE(closed_within(lb.clients[0], 100)) << "idle for less than the age";
        EXPECT_NE(log_since(tail).find("rtmp: session from 127.0.0.3 handshaking slowly for 2 s closed"), std::string::npos)
            << log_since(tail);
        for (int c : lb.clients)
            shutdown(c, SHUT_RDWR);
        EXPECT_TRUE(sessions_drop_to(0, 3000));
    }
    rtmp_set_limits(nullptr);
}

TEST(RtmpLimits, AFailingAcceptBacksOffAndIsLoggedOnceASecond)
{
    Loopback lb;
    lb.dial();   // waits in the queue while no descriptor is free
    struct rlimit saved;
    getrlimit(RLIMIT_NOFILE, &saved);
    struct rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(lb.ls)) >= 0;)
        filler.push_back(fd);
    uint32_t tail = log_ring_head();
    int turns = 0;
    auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(3000)) {
        rtmp_listener_step(lb.ls);
        turns++;
    }
    for (int fd : filler)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    std::string log = log_since(tail);
    EXPECT_NE(log.find("accept: Too many open files"), std::string::npos) << log;
    EXPECT_LE(test_count(log, "accept: "), 4u) << log;
    EXPECT_GE(test_count(log, "accept: "), 2u) << log;
    EXPECT_LT(turns, 40);
    // With descriptors free again the queued connection is taken.
    rtmp_listener_step(lb.ls);
    EXPECT_EQ(rtmp_session_count(), 1);
    shutdown(lb.clients[0], SHUT_RDWR);
    EXPECT_TRUE(sessions_drop_to(0, 3000));
}

// ---- Players of one channel sharing its chunked frames ----

namespace {

// A player of the rig's queues; sock_type SOCK_SEQPACKET keeps each write a record of its own.
struct Player {
    Conn t;
    explicit Player(bool audio = true)
    {
        stream_state_attach(VIDEO_STREAM1, StreamMode_H264_ES, &t.c->video);
        if (audio)
            stream_state_attach(AAC_STREAM, StreamMode_Audio_AAC, &t.c->audio_state);
        t.c->audio = audio;
        t.c->playing = 1;
        t.c->first_frame = 1;
    }
    ~Player() { rtmp_media_detach(t.c); }
    // Every byte the player got so far (waiting up to ms for the first).
    Bytes raw(int ms = 200)
    {
        Bytes b;
        while (t.peer.fill(ms))
            ms = 50;
        b.swap(t.peer.in);
        return b;
    }
};

// Frame number i of a test GOP of 8: a keyframe with its configuration, or an inter frame whose
// bytes carry its number.
Bytes gop_frame(int i, size_t size = 300)
{
    // Never a fill of 0: trailing zeros do not belong to the unit.
    if (i % 8 == 0)
        return cat({nal(0x67, 10, 0x11), nal(0x68, 4, 0x22), nal(0x65, size, (uint8_t)(i + 1))});
    return nal(0x41, size, (uint8_t)(i + 1));
}

// The frame number of a video message, -1 for a configuration record.
int frame_of(const Msg &m)
{
    if (m.body.size() < 6 || m.body[1] != 1)
        return -1;
    return m.body.back() - 1;
}

} // namespace

TEST(RtmpShare, PlayersJoiningAtOneKeyframeGetIdenticalBytes)
{
    TestQueue video{VIDEO_STREAM1, 1 << 20, 64};
    TestQueue audio{AAC_STREAM, 1 << 18, 64};
    Player a, b;
    uint32_t v = hw_clock_90khz() + 450000;   // ahead of the clock: never late
    for (int i = 0; i < 12; i++) {
        Bytes s = adts(40 + i, (uint8_t)i);
        audio.put((uint32_t)s.size(), v + 3003 * i - 500, 0, 0, s.data());
        Bytes f = gop_frame(i, 200 + 50 * i);   // several chunks, and messages of every size
        video.put((uint32_t)f.size(), v + 3003 * i, i % 8 == 0, 0, f.data());
    }
    Bytes ra, rb;
    for (int i = 0; i < 12; i++) {
        ASSERT_EQ(rtmp_media_step(a.t.c), 0);
        ASSERT_EQ(rtmp_media_step(b.t.c), 0);
        Bytes x = a.raw(), y = b.raw();
        ra.insert(ra.end(), x.begin(), x.end());
        rb.insert(rb.end(), y.begin(), y.end());
    }
    EXPECT_EQ(ra, rb);
    // Well formed: the configurations, then every frame in order with its audio, from 0 ms.
    a.t.peer.in = ra;
    std::vector<Msg> r = a.t.drain(50);
    std::vector<int> frames;
    for (const Msg &m : r)
        if (m.type == 9 && frame_of(m) >= 0)
            frames.push_back(frame_of(m));
    EXPECT_EQ(frames, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    ASSERT_GE(r.size(), 3u);
    EXPECT_EQ(r[0].body, (Bytes{0xAF, 0, 0x11, 0x90}));
    EXPECT_EQ(r[0].ts, 0u);
    EXPECT_EQ(r[1].type, 8u);
    EXPECT_EQ(r[2].body[1], 0) << "the video configuration before the first picture";
    for (const Msg &m : r)
        EXPECT_EQ(m.sid, 1u);
}

TEST(RtmpShare, AMediaStepIsOneWrite)
{
    TestQueue video{VIDEO_STREAM1, 1 << 20, 64};
    TestQueue audio{AAC_STREAM, 1 << 18, 64};
    Player p;
    // Records keep the writes apart: swap the player's socket for a sequenced-packet pair.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    close(p.t.c->sock);
    close(p.t.peer.fd);
    p.t.c->sock = sv[0];
    p.t.peer.fd = sv[1];
    uint32_t v = hw_clock_90khz() - 20000;
    for (int i = 0; i < 3; i++) {
        audio.put((uint32_t)adts(50, 1).size(), v + 3003 * i - 1000, 0, 0, adts(50, 1).data());
        audio.put((uint32_t)adts(50, 2).size(), v + 3003 * i + 1000, 0, 0, adts(50, 2).data());
        Bytes f = gop_frame(i, 700);
        video.put((uint32_t)f.size(), v + 3003 * i, i == 0, 0, f.data());
        ASSERT_EQ(rtmp_media_step(p.t.c), 0);
        int writes = 0;
        Msg m;
        while (p.t.peer.fill(100))
            writes++;
        EXPECT_EQ(writes, 1) << "step " << i;
        std::vector<Msg> r;
        while (p.t.peer.next(m, 0))
            r.push_back(m);
        EXPECT_EQ(names(r).size(), i == 0 ? 5u : 3u) << "audio, picture, audio";
    }
}

TEST(RtmpShare, ALateJoinerStartsAtAKeyframeWithItsConfigurationsFirst)
{
    TestQueue video{VIDEO_STREAM1, 1 << 20, 64};
    TestQueue audio{AAC_STREAM, 1 << 18, 64};
    Player early;
    std::unique_ptr<Player> late;
    uint32_t v = hw_clock_90khz() + 450000;
    std::vector<Msg> got_early, got_late;
    for (int i = 0; i < 20; i++) {
        if (i == 3)
            late.reset(new Player());   // in the middle of the first GOP
        audio.put((uint32_t)adts(40, 1).size(), v + 3003 * i + 200, 0, 0, adts(40, (uint8_t)i).data());
        Bytes f = gop_frame(i);
        video.put((uint32_t)f.size(), v + 3003 * i, i % 8 == 0, 0, f.data());
        ASSERT_EQ(rtmp_media_step(early.t.c), 0);
        for (const Msg &m : early.t.drain(20))
            got_early.push_back(m);
        // The late player's first step skips the frames it cannot decode, up to frame 8.
        if (i >= 8) {
            ASSERT_EQ(rtmp_media_step(late->t.c), 0);
            for (const Msg &m : late->t.drain(20))
                got_late.push_back(m);
        }
    }
    ASSERT_GE(got_late.size(), 4u);
    EXPECT_EQ(got_late[0].type, 9u);
    EXPECT_EQ(got_late[0].body[1], 0) << "the video configuration first";
    EXPECT_EQ(got_late[1].type, 9u);
    EXPECT_EQ(frame_of(got_late[1]), 8);
    EXPECT_EQ(got_late[1].ts, 0u);
    EXPECT_EQ(got_late[2].body, (Bytes{0xAF, 0, 0x11, 0x90})) << "the audio configuration before its first frame";
    // From there on it gets what the early player got, body for body, its timestamps 8 frames on.
    size_t from = 0;
    while (from < got_early.size() && !(got_early[from].type == 9 && frame_of(got_early[from]) == 8))
        from++;
    ASSERT_LT(from, got_early.size());
    std::vector<Msg> late_media;
    for (size_t i = 0; i < got_late.size(); i++)
        if (i != 0 && i != 2)
            late_media.push_back(got_late[i]);
    ASSERT_EQ(late_media.size(), got_early.size() - from);
    for (size_t i = 0; i < late_media.size(); i++) {
        EXPECT_EQ(late_media[i].body, got_early[from + i].body) << i;
        EXPECT_EQ(late_media[i].ts + got_early[from].ts, got_early[from + i].ts) << i;
    }
}

TEST(RtmpShare, ASlowPlayerDropsToAKeyframeWhileAFastOneGetsEveryFrame)
{
    TestQueue video{VIDEO_STREAM1, 1 << 20, 16};
    Player fast(false), slow(false);
    int small = 4096;
    setsockopt(slow.t.c->sock, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::atomic<bool> stop{false};
    std::thread slow_thread([&] {
        while (!stop && rtmp_media_step(slow.t.c) >= 0)
            ;
    });
    const int total = 48;
    uint32_t v = hw_clock_90khz() + 450000;
    std::vector<int> fast_frames;
    for (int i = 0; i < total; i++) {
        Bytes f = gop_frame(i, 8000);
        // Stamped ahead of the clock: the slow player is lapped, never late.
        video.put((uint32_t)f.size(), v + 3003 * i, i % 8 == 0, 0, f.data());
        ASSERT_EQ(rtmp_media_step(fast.t.c), 0) << "the fast player is never held up";
        for (const Msg &m : fast.t.drain(20))
            if (m.type == 9 && frame_of(m) >= 0)
                fast_frames.push_back(frame_of(m));
    }
    std::vector<int> expect(total);
    for (int i = 0; i < total; i++)
        expect[i] = i;
    EXPECT_EQ(fast_frames, expect);

    // Now the slow player reads again: what it got is in order, and after every gap it went on
    // at a keyframe with its configuration.
    std::vector<Msg> got;
    Msg m;
    while (slow.t.peer.next(m, 1500))
        got.push_back(m);
    stop = true;
    slow_thread.join();
    for (const Msg &x : slow.t.drain(50))
        got.push_back(x);
    int prev = -1, gaps = 0;
    for (size_t i = 0; i < got.size(); i++) {
        int f = frame_of(got[i]);
        if (f < 0)
            continue;
        EXPECT_GT(f, prev);
        if (f != prev + 1) {
            gaps++;
            EXPECT_EQ(f % 8, 0) << "resumed at frame " << f;
            ASSERT_GT(i, 0u);
            EXPECT_EQ(got[i - 1].body[1], 0) << "configuration before the resumed keyframe";
        }
        prev = f;
    }
    EXPECT_GE(gaps, 1) << "the slow player never fell behind";
    EXPECT_EQ(prev, total - 1) << "it caught up to the end";
}

TEST(RtmpShare, ExtendedTimestampsGoInEveryChunkOfASharedFrame)
{
    TestQueue video{VIDEO_STREAM1, 1 << 20, 64};
    Player a(false), b(false);
    uint32_t v = hw_clock_90khz() - 20000;
    Bytes k = gop_frame(0), p = gop_frame(1, 400);
    video.put((uint32_t)k.size(), v, 1, 0, k.data());
    ASSERT_EQ(rtmp_media_step(a.t.c), 0);
    ASSERT_EQ(rtmp_media_step(b.t.c), 0);
    a.t.drain(20);
    b.t.drain(20);
    a.t.c->ts_offset += 0x1000000;   // as after 4.6 hours of play
    video.put((uint32_t)p.size(), v + 3003, 0, 0, p.data());
    ASSERT_EQ(rtmp_media_step(a.t.c), 0);
    ASSERT_EQ(rtmp_media_step(b.t.c), 0);
    std::vector<Msg> ra = a.t.drain(50), rb = b.t.drain(50);
    ASSERT_EQ(ra.size(), 1u);
    ASSERT_EQ(rb.size(), 1u);
    EXPECT_EQ(ra[0].ts, 0x1000000u + rb[0].ts);
    EXPECT_EQ(ra[0].body, rb[0].body);
    EXPECT_EQ(frame_of(ra[0]), 1);
}
