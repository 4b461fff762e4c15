// The four statistics printers: one line per report on the native standard output, until
// logOff or until the interpreter begins to exit. Engine threads, without the GIL; a line is
// handed to the module's writer and never waited for, so a stalled reader cannot stall the engine.
#include <cstdio>

#include "engine/CVeltoObject.h"
#include "engine/EventQueue.h"
#include "engine/InterpreterGate.h"
#include "engine/NativeOutput.h"

namespace pyv {

namespace {

constexpr std::size_t kLineCapacity = 1024;

// Formats one line and queues it; prints nothing once logged off or exiting. Needs no pass of
// the gate: the writer itself refuses lines once logOff or the exit hook stopped statistics.
template <typename... Values>
void printStatsLine(const CVeltoObject& object, const char* format, Values... values) {
    if (InterpreterGate::instance().exiting() || object.loggedOff()) {
        return;
    }
    char line[kLineCapacity];
    const int length = std::snprintf(line, sizeof line, format, values...);
    if (length > 0 && static_cast<std::size_t>(length) < sizeof line) {
        nativeOutput::postStatisticsLine(line, static_cast<std::size_t>(length));
    }
}

}  // namespace

void CVeltoObject::onLocalVideoStats(const ChannelStamp& stamp,
                                     const velto::rtc::LocalVideoStats& s) {
    publishEvent(statsEvent(s), stamp.epoch);
    printStatsLine(*this,
                   "onLocalVideoStats sentBitrate:%d sentFrameRate:%d encoderOutputFrameRate:%d "
                   "rendererOutputFrameRate:%d targetBitrate:%d targetFrameRate:%d "
                   "encodedBitrate:%d encodedFrameWidth:%d encodedFrameHeight:%d "
                   "encodedFrameCount:%d codecType:%d txPacketLossRate:%u captureFrameRate:%d\n",
                   s.sentBitrate, s.sentFrameRate, s.encoderOutputFrameRate,
                   s.rendererOutputFrameRate, s.targetBitrate, s.targetFrameRate, s.encodedBitrate,
                   s.encodedFrameWidth, s.encodedFrameHeight, s.encodedFrameCount, s.codecType,
                   static_cast<unsigned>(s.txPacketLossRate), s.captureFrameRate);
}

void CVeltoObject::onRemoteVideoStats(const ChannelStamp& stamp,
                                      const velto::rtc::RemoteVideoStats& s) {
    publishEvent(statsEvent(s), stamp.epoch);
    printStatsLine(*this,
                   "onRemoteVideoStats uid:%u delay:%d width:%d height:%d receivedBitrate:%d "
                   "decoderOutputFrameRate:%d rendererOutputFrameRate:%d packetLossRate:%d "
                   "rxStreamType:%d totalFrozenTime:%d frozenRate:%d\n",
                   s.uid, s.delay, s.width, s.height, s.receivedBitrate, s.decoderOutputFrameRate,
                   s.rendererOutputFrameRate, s.packetLossRate, s.rxStreamType, s.totalFrozenTime,
                   s.frozenRate);
}

void CVeltoObject::onLocalAudioStats(const ChannelStamp& stamp,
                                     const velto::rtc::LocalAudioStats& s) {
    publishEvent(statsEvent(s), stamp.epoch);
    printStatsLine(*this,
                   "onLocalAudioStats numChannels:%d sentSampleRate:%d sentBitrate:%d "
                   "txPacketLossRate:%u\n",
                   s.numChannels, s.sentSampleRate, s.sentBitrate,
                   static_cast<unsigned>(s.txPacketLossRate));
}

void CVeltoObject::onRemoteAudioStats(const ChannelStamp& stamp,
                                      const velto::rtc::RemoteAudioStats& s) {
    publishEvent(statsEvent(s), stamp.epoch);
    printStatsLine(*this,
                   "onRemoteAudioStats uid:%u quality:%d networkTransportDelay:%d "
                   "jitterBufferDelay:%d audioLossRate:%d numChannels:%d receivedSampleRate:%d "
                   "receivedBitrate:%d totalFrozenTime:%d totalActiveTime:%d publishDuration:%d\n",
                   s.uid, s.quality, s.networkTransportDelay, s.jitterBufferDelay, s.audioLossRate,
                   s.numChannels, s.receivedSampleRate, s.receivedBitrate, s.totalFrozenTime,
                   s.totalActiveTime, s.publishDuration);
}

}  // namespace pyv
