#include "rtsp/Media.h"

#include <cstring>

#include "core/log.h"

Medium::~Medium()
{
    envir().taskScheduler().unscheduleDelayedTask(fNextTask);
}

void Medium::close(Medium *medium)
{
    delete medium;
}

FramedSource::~FramedSource() {}

void FramedSource::getNextFrame(unsigned char *to, unsigned maxSize, afterGettingFunc *afterGettingFunc, void *afterGettingClientData,
                                onCloseFunc *onCloseFunc, void *onCloseClientData)
{
    if (fIsCurrentlyAwaitingData) {
        // Two readers on one source would overwrite each other's buffers.
        log_error("FramedSource::getNextFrame(): attempting to read more than once at the same time!\n");
        return;
    }
    fTo = to;
    fMaxSize = maxSize;
    fNumTruncatedBytes = 0;
    fDurationInMicroseconds = 0;
    fAfterGettingFunc = afterGettingFunc;
    fAfterGettingClientData = afterGettingClientData;
    fOnCloseFunc = onCloseFunc;
    fOnCloseClientData = onCloseClientData;
    fIsCurrentlyAwaitingData = true;
    doGetNextFrame();
}

void FramedSource::afterGetting(FramedSource *source)
{
    source->fIsCurrentlyAwaitingData = false;
    if (source->fAfterGettingFunc)
        source->fAfterGettingFunc(source->fAfterGettingClientData, source->fFrameSize, source->fNumTruncatedBytes,
                                  source->fPresentationTime, source->fDurationInMicroseconds);
}

void FramedSource::handleClosure(void *clientData)
{
    static_cast<FramedSource *>(clientData)->handleClosure();
}

void FramedSource::handleClosure()
{
    fIsCurrentlyAwaitingData = false;
    onCloseFunc *f = fOnCloseFunc;
    fOnCloseFunc = nullptr;
    if (f)
        f(fOnCloseClientData);
}

void FramedSource::stopGettingFrames()
{
    fIsCurrentlyAwaitingData = false;
    fAfterGettingFunc = nullptr;
    fOnCloseFunc = nullptr;
    doStopGettingFrames();
}

void FramedSource::doStopGettingFrames()
{
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
}

FramedFilter::~FramedFilter()
{
    Medium::close(fInputSource);
}

void FramedFilter::doStopGettingFrames()
{
    FramedSource::doStopGettingFrames();
    if (fInputSource)
        fInputSource->stopGettingFrames();
}

MediaSink::~MediaSink()
{
    stopPlaying();
}

bool MediaSink::sourceIsCompatibleWithUs(MediaSource &source)
{
    return source.isFramedSource();
}

bool MediaSink::startPlaying(MediaSource &source, afterPlayingFunc *afterFunc, void *afterClientData)
{
    if (fSource) {
        envir().setResultMsg("This sink is already being played");
        return false;
    }
    if (!sourceIsCompatibleWithUs(source)) {
        envir().setResultMsg("MediaSink::startPlaying(): source is not compatible!");
        return false;
    }
    fSource = static_cast<FramedSource *>(&source);
    fAfterFunc = afterFunc;
    fAfterClientData = afterClientData;
    return continuePlaying();
}

void MediaSink::stopPlaying()
{
    if (fSource)
        fSource->stopGettingFrames();
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    fSource = nullptr;
    fAfterFunc = nullptr;
}

void MediaSink::onSourceClosure(void *clientData)
{
    static_cast<MediaSink *>(clientData)->onSourceClosure();
}

void MediaSink::onSourceClosure()
{
    envir().taskScheduler().unscheduleDelayedTask(nextTask());
    fSource = nullptr;
    afterPlayingFunc *f = fAfterFunc;
    fAfterFunc = nullptr;
    if (f)
        f(fAfterClientData);
}

unsigned OutPacketBuffer::maxSize = 60000;

OutPacketBuffer::OutPacketBuffer(unsigned preferredPacketSize, unsigned maxPacketSize, unsigned maxBufferSize)
    : fPreferred(preferredPacketSize), fMax(maxPacketSize)
{
    if (fMax == 0)
        fMax = 1448;
    if (fPreferred == 0 || fPreferred > fMax)
        fPreferred = fMax;
    fLimit = maxBufferSize ? maxBufferSize : maxSize;
    if (fLimit < fMax)
        fLimit = fMax;
    fBuf = new unsigned char[fLimit];
}

OutPacketBuffer::~OutPacketBuffer()
{
    delete[] fBuf;
}

void OutPacketBuffer::increment(unsigned numBytes)
{
    unsigned avail = totalBytesAvailable();
    fCurOffset += numBytes < avail ? numBytes : avail;
}

void OutPacketBuffer::enqueue(const unsigned char *from, unsigned numBytes)
{
    if (numBytes > totalBytesAvailable())
        numBytes = totalBytesAvailable();
    if (curPtr() != from)
        memmove(curPtr(), from, numBytes);
    increment(numBytes);
}

void OutPacketBuffer::enqueueWord(uint32_t word)
{
    unsigned char b[4] = {(unsigned char)(word >> 24), (unsigned char)(word >> 16), (unsigned char)(word >> 8), (unsigned char)word};
    enqueue(b, 4);
}

void OutPacketBuffer::insert(const unsigned char *from, unsigned numBytes, unsigned toPosition)
{
    unsigned realPos = fPacketStart + toPosition;
    if (realPos >= fLimit)
        return;
    if (realPos + numBytes > fLimit)
        numBytes = fLimit - realPos;
    memmove(fBuf + realPos, from, numBytes);
    if (toPosition + numBytes > fCurOffset)
        fCurOffset = toPosition + numBytes;
}

void OutPacketBuffer::insertWord(uint32_t word, unsigned toPosition)
{
    unsigned char b[4] = {(unsigned char)(word >> 24), (unsigned char)(word >> 16), (unsigned char)(word >> 8), (unsigned char)word};
    insert(b, 4, toPosition);
}

void OutPacketBuffer::extract(unsigned char *to, unsigned numBytes, unsigned fromPosition) const
{
    unsigned realPos = fPacketStart + fromPosition;
    if (realPos >= fLimit)
        return;
    if (realPos + numBytes > fLimit)
        numBytes = fLimit - realPos;
    memmove(to, fBuf + realPos, numBytes);
}

uint32_t OutPacketBuffer::extractWord(unsigned fromPosition) const
{
    unsigned char b[4] = {};
    extract(b, 4, fromPosition);
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}

void OutPacketBuffer::skipBytes(unsigned numBytes)
{
    increment(numBytes);
}

void OutPacketBuffer::setOverflowData(unsigned overflowDataOffset, unsigned overflowDataSize, struct timeval const &presentationTime,
                                      unsigned durationInMicroseconds)
{
    fOverflowDataOffset = overflowDataOffset;
    fOverflowDataSize = overflowDataSize;
    fOverflowPresentationTime = presentationTime;
    fOverflowDurationInMicroseconds = durationInMicroseconds;
}

void OutPacketBuffer::useOverflowData()
{
    unsigned char *from = fBuf + fPacketStart + fOverflowDataOffset;
    unsigned n = fOverflowDataSize;
    if (n > totalBytesAvailable())
        n = totalBytesAvailable();
    if (from != curPtr())
        memmove(curPtr(), from, n);
    resetOverflowData();
}

void OutPacketBuffer::adjustPacketStart(unsigned numBytes)
{
    if (numBytes > fOverflowDataOffset)
        numBytes = fOverflowDataOffset;
    fPacketStart += numBytes;
    fOverflowDataOffset -= numBytes;
}

void OutPacketBuffer::resetPacketStart()
{
    if (fOverflowDataSize > 0)
        fOverflowDataOffset += fPacketStart;
    fPacketStart = 0;
}
