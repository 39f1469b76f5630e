// RTP senders: the header, sequence and timestamp rules of RTP, fan-out to UDP destinations and
// to RTSP connections that carry RTP interleaved, and the packer that fills packets with frames.
#pragma once
#include <cstdint>
#include <memory>
#include <sys/uio.h>
#include <string>
#include <vector>

#include "rtsp/Groupsock.h"
#include "rtsp/Media.h"

// The RTP packets of one frame (or of what the source had at hand), written once and shared by
// every interleaved client: a connection that cannot take them at once keeps a reference, never
// a copy. Each packet lies in `data` behind its 4-byte interleaved header ('$', channel, size),
// so a connection on `channel` writes any run of packets as one piece.
struct RTPPacketBatch {
    struct Packet {
        uint32_t offset;          // of the RTP packet, its header 4 bytes before
        uint16_t size;
        bool syncPoint;           // a joining or lagging client may start here
    };
    std::vector<uint8_t> data;
    std::vector<Packet> packets;
    uint8_t channel = 0;          // in every packet's interleaved header
    int64_t createdUs = 0;
    const uint8_t *packet(unsigned i) const { return data.data() + packets[i].offset; }
    // Packet `first` with its interleaved header, and the bytes of [first, end) framed so.
    const uint8_t *framed(unsigned first) const { return data.data() + packets[first].offset - 4; }
    size_t framedBytes(unsigned first, unsigned end) const
    {
        return packets[end - 1].offset + packets[end - 1].size - (packets[first].offset - 4);
    }
};
typedef std::shared_ptr<const RTPPacketBatch> RTPPacketBatchRef;

// An RTSP connection that carries '$'-framed RTP/RTCP (interleaved mode).
class RTPStreamConnection {
public:
    // Queues or sends one whole packet; false when the connection dropped it.
    virtual bool sendInterleaved(uint8_t channelId, const uint8_t *data, unsigned size) = 0;
    // Packets [first, end) of a batch, '$'-framed on channelId, in as few writes as the socket
    // takes. False when the connection dropped them.
    virtual bool sendBatch(uint8_t channelId, const RTPPacketBatchRef &batch, unsigned first, unsigned end);
    // Age (µs) of the oldest RTP still waiting to be written; 0 when none waits.
    virtual int64_t backlogAgeUs(int64_t nowUs) const { return 0; }
    // Forgets the RTP of channelId not yet begun; returns the packets dropped.
    virtual unsigned dropBacklog(uint8_t channelId) { return 0; }
    virtual const char *peerName() const { return "client"; }
    // Bytes of RTP meant for it, sent or skipped while it lags: against what it takes, a player
    // reading a trickle of its stream shows.
    virtual void noteOffered(size_t bytes) {}

protected:
    virtual ~RTPStreamConnection() {}
};

class RTPInterface {
public:
    RTPInterface(Medium *owner, Groupsock *gs) : fOwner(owner), fGS(gs) {}
    // Sends to every UDP destination of the groupsock and every stream connection at once. False
    // when no receiver got it.
    bool sendPacket(const unsigned char *packet, unsigned packetSize);
    // Sends to the channels of one stream connection only.
    bool sendPacketTo(RTPStreamConnection *conn, const unsigned char *packet, unsigned packetSize);
    // RTP: UDP destinations and stream connections get the packet with the rest of the frame
    // at the next flush(): one sendmmsg per UDP destination, one write per connection.
    bool queuePacket(const unsigned char *packet, unsigned packetSize, bool syncPoint);
    void flush();
    // waitForSyncPoint: the connection gets nothing before a packet that starts a sync point.
    void addStreamSocket(RTPStreamConnection *conn, uint8_t channelId, bool waitForSyncPoint = false);
    void removeStreamSocket(RTPStreamConnection *conn);   // every channel of conn
    size_t numStreamSockets() const { return fStreams.size(); }
    // Called just before a receiver gets its first RTP packet of a run: a stream connection, or
    // (conn null) the UDP destinations of a client session or, sessionId 0, the group.
    typedef void(ReceiverStartFunc)(void *clientData, RTPStreamConnection *conn, unsigned sessionId);
    void setReceiverStartFunc(ReceiverStartFunc *func, void *clientData);
    // A new run: every receiver counts as not yet started.
    void resetReceiverStarts();
    Groupsock *gs() const { return fGS; }
    // Skips of lagging clients to the next sync point, and the packets they dropped.
    uint64_t lagDrops() const { return fLagDrops; }
    uint64_t lagDroppedPackets() const { return fLagDroppedPackets; }

private:
    struct Stream {
        RTPStreamConnection *conn;
        uint8_t channelId;
        bool waitSync;            // nothing before the next sync point
        bool lagging;             // waiting because it fell behind (not a fresh joiner)
        uint32_t drops;
        bool started;             // has had a packet
    };
    std::shared_ptr<RTPPacketBatch> spareBatch();
    static void udpReceiverStart(void *clientData, unsigned sessionId);
    void sendBatchUdp(const RTPPacketBatch &batch);

    Medium *fOwner;
    Groupsock *fGS;
    std::vector<Stream> fStreams;
    std::shared_ptr<RTPPacketBatch> fBatch;
    bool fBatchHasSync = false;
    std::vector<std::shared_ptr<RTPPacketBatch>> fSpares;
    std::vector<struct iovec> fUdpIov;
    std::vector<uint8_t> fUdpSync;
    int64_t fLastSyncUs = 0, fSyncIntervalUs = 0;
    uint64_t fLagDrops = 0, fLagDroppedPackets = 0;
    ReceiverStartFunc *fReceiverStartFunc = nullptr;
    void *fReceiverStartData = nullptr;
};

class RTPSink : public MediaSink {
public:
    bool isRTPSink() const override { return true; }
    unsigned char rtpPayloadType() const { return fRTPPayloadType; }
    unsigned rtpTimestampFrequency() const { return fTimestampFrequency; }
    const char *rtpPayloadFormatName() const { return fRTPPayloadFormatName.c_str(); }
    unsigned numChannels() const { return fNumChannels; }
    virtual const char *sdpMediaType() const { return "data"; }
    std::string rtpmapLine() const;            // "a=rtpmap:..." with its line end
    virtual const char *auxSDPLine() { return nullptr; }   // "a=fmtp:..." or null

    uint32_t SSRC() const { return fSSRC; }
    uint16_t currentSeqNo() const { return fSeqNo; }
    // RTP timestamp of a presentation time (the same mapping for every packet of this sink).
    uint32_t convertToRTPTimestamp(struct timeval tv) const;
    // What PLAY's RTP-Info reports: no packet a client gets after it carries an earlier
    // timestamp. Before the first packet, the first packet is stamped with it.
    uint32_t presetNextTimestamp();
    // Whether a client joining the running stream is to wait for a sync point (a keyframe).
    virtual bool joinersWaitForSyncPoint() const { return false; }
    uint32_t packetCount() const { return fPacketCount; }
    uint32_t octetCount() const { return fOctetCount; }
    // RTP timestamp of the newest packet sent and the wall time it went out.
    uint32_t lastSentTimestamp() const { return fLastSentTimestamp; }

    RTPInterface &rtpInterface() { return fRTPInterface; }
    Groupsock *groupsockBeingUsed() const { return fRTPInterface.gs(); }
    void addStreamSocket(RTPStreamConnection *conn, uint8_t channelId, bool waitForSyncPoint = false) {
        fRTPInterface.addStreamSocket(conn, channelId, waitForSyncPoint);
    }
    void removeStreamSocket(RTPStreamConnection *conn) { fRTPInterface.removeStreamSocket(conn); }
    void setReceiverStartFunc(RTPInterface::ReceiverStartFunc *func, void *clientData) {
        fRTPInterface.setReceiverStartFunc(func, clientData);
    }

protected:
    RTPSink(UsageEnvironment &env, Groupsock *rtpGS, unsigned char rtpPayloadType, unsigned rtpTimestampFrequency,
            const char *rtpPayloadFormatName, unsigned numChannels);
    ~RTPSink() override;

    RTPInterface fRTPInterface;
    unsigned char fRTPPayloadType;
    uint16_t fSeqNo;
    uint32_t fSSRC;
    uint32_t fTimestampBase;
    uint32_t fLastSentTimestamp = 0;
    uint32_t fPacketCount = 0, fOctetCount = 0;
    // A packet's timestamp; the first one is anchored to a preset RTP-Info value.
    uint32_t packetTimestamp(struct timeval tv);
    bool fTimestampPreset = false, fTimestampAnchored = false;
    uint32_t fPresetTimestamp = 0;

private:
    unsigned fTimestampFrequency;
    std::string fRTPPayloadFormatName;
    unsigned fNumChannels;
};

// Fills each packet with as many whole frames as fit and the rules of the payload format allow;
// a frame too big for one packet is split across several. Packets leave as soon as they are full.
class MultiFramedRTPSink : public RTPSink {
public:
    // Both sizes count the whole RTP packet; refused when preferred is 0 or above max. Takes
    // effect at the next packet when called while playing.
    void setPacketSizes(unsigned preferredPacketSize, unsigned maxPacketSize);
    unsigned maxPacketSize() const { return fMaxPacketSize; }
    typedef void(onSendErrorFunc)(void *clientData);
    void setOnSendErrorFunc(onSendErrorFunc *f, void *clientData) { fOnSendErrorFunc = f, fOnSendErrorData = clientData; }
    void stopPlaying() override;

protected:
    MultiFramedRTPSink(UsageEnvironment &env, Groupsock *rtpGS, unsigned char rtpPayloadType, unsigned rtpTimestampFrequency,
                       const char *rtpPayloadFormatName, unsigned numChannels = 1);
    ~MultiFramedRTPSink() override;

    bool continuePlaying() override;
    // Per frame (or fragment) placed in the packet; the base sets the timestamp from the first.
    virtual void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                        struct timeval framePresentationTime, unsigned numRemainingBytes);
    virtual bool allowFragmentationAfterStart() const { return false; }
    virtual bool allowOtherFramesAfterLastFragment() const { return false; }
    virtual bool frameCanAppearAfterPacketStart(const unsigned char *frameStart, unsigned numBytesInFrame) const { return true; }
    virtual unsigned specialHeaderSize() const { return 0; }
    virtual unsigned frameSpecificHeaderSize() const { return 0; }
    virtual unsigned computeOverflowForNewFrame(unsigned newFrameSize) const { return fOutBuf->numOverflowBytes(newFrameSize); }
    // Fragments are cut at multiples of this many bytes (a PCM sample, a TS packet).
    virtual unsigned fragmentGranularity() const { return 1; }
    // May rewrite a fresh frame in place (e.g. drop a framing header); returns its new size.
    virtual unsigned adjustNewFrame(unsigned char *frameStart, unsigned frameSize) { return frameSize; }

    bool isFirstPacket() const { return fIsFirstPacket; }
    bool isFirstFrameInPacket() const { return fNumFramesUsedSoFar == 0; }
    unsigned curFragmentationOffset() const { return fCurFragmentationOffset; }
    void setMarkerBit();
    void setTimestamp(struct timeval framePresentationTime, uint32_t ticksIntoFrame = 0);
    void setSpecialHeaderWord(uint32_t word, unsigned wordPosition = 0);
    void setSpecialHeaderBytes(const unsigned char *bytes, unsigned numBytes, unsigned bytePosition = 0);
    void setFrameSpecificHeaderWord(uint32_t word, unsigned wordPosition = 0);
    unsigned numFramesUsedSoFar() const { return fNumFramesUsedSoFar; }

    OutPacketBuffer *fOutBuf = nullptr;
    bool fPacketIsSyncPoint = true;   // of the packet being built

private:
    static void sendNext(void *firstArg);
    void drive(bool isFirstPacket);
    void buildAndSendPacket(bool isFirstPacket);
    void packFrame();
    void sendPacketIfNecessary();
    static void afterGettingFrame(void *clientData, unsigned numBytesRead, unsigned numTruncatedBytes,
                                  struct timeval presentationTime, unsigned durationInMicroseconds);
    void afterGettingFrame1(unsigned numBytesRead, unsigned numTruncatedBytes, struct timeval presentationTime,
                            unsigned durationInMicroseconds, bool fromOverflow);
    static void ourHandleClosure(void *clientData);

    unsigned fMaxPacketSize = 1448;
    unsigned fPendingPreferred = 0, fPendingMax = 0;
    bool fNoFramesLeft = false;
    unsigned fNumFramesUsedSoFar = 0;
    unsigned fCurFragmentationOffset = 0;
    bool fPreviousFrameEndedFragmentation = false;
    bool fIsFirstPacket = true;
    struct timeval fNextSendTime = {};
    unsigned fTimestampPosition = 0;
    unsigned fSpecialHeaderPosition = 0, fSpecialHeaderSize = 0;
    unsigned fCurFrameSpecificHeaderPosition = 0, fCurFrameSpecificHeaderSize = 0;
    unsigned fTotalFrameSpecificHeaderSizes = 0;
    onSendErrorFunc *fOnSendErrorFunc = nullptr;
    void *fOnSendErrorData = nullptr;
    bool fDriving = false, fNextPacketWanted = false;
};

class SimpleRTPSink : public MultiFramedRTPSink {
public:
    // Media type "audio" or "video"; doNormalMBitRule sets the marker bit on the packet that ends
    // a frame (video) or begins a talk spurt (audio: the first packet).
    static SimpleRTPSink *createNew(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat,
                                    unsigned rtpTimestampFrequency, const char *sdpMediaTypeString,
                                    const char *rtpPayloadFormatName, unsigned numChannels = 1,
                                    bool allowMultipleFramesPerPacket = true, bool doNormalMBitRule = true);
    const char *sdpMediaType() const override { return fSDPMediaTypeString.c_str(); }

protected:
    SimpleRTPSink(UsageEnvironment &env, Groupsock *RTPgs, unsigned char rtpPayloadFormat, unsigned rtpTimestampFrequency,
                  const char *sdpMediaTypeString, const char *rtpPayloadFormatName, unsigned numChannels,
                  bool allowMultipleFramesPerPacket, bool doNormalMBitRule);
    void doSpecialFrameHandling(unsigned fragmentationOffset, unsigned char *frameStart, unsigned numBytesInFrame,
                                struct timeval framePresentationTime, unsigned numRemainingBytes) override;
    bool frameCanAppearAfterPacketStart(const unsigned char *frameStart, unsigned numBytesInFrame) const override {
        return fAllowMultipleFramesPerPacket;
    }
    unsigned fragmentGranularity() const override { return fGranularity; }

private:
    std::string fSDPMediaTypeString;
    bool fAllowMultipleFramesPerPacket;
    bool fSetMBitOnLastFrames, fSetMBitOnNextPacket;
    unsigned fGranularity = 1;
    unsigned fSampleBytes = 0;   // linear PCM: bytes of one sample of every channel
};
