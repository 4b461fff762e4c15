// The event handler's slots as the closed library reads them. Built with MinGW and run under Wine
// by tests/test_windows_build.py: each slot of sdk/EventHandlerSlots.h, called through a
// handler's vtable as Microsoft's compiler lays it out, must reach the notification of the same
// name, and the destructor's slot must destroy nothing.
#include <cstdio>
#include <string>
#include <vector>

#include "sdk/EventHandlerSlots.h"

#if !VELTO_GNU_ABI_ON_WINDOWS
#error "this test checks the GNU-ABI build for Windows"
#endif

namespace {

using velto::rtc::EventHandlerSlots;

class RecordingHandler final : public velto::rtc::IRtcEngineEventHandler {
  public:
    std::vector<std::string> heard;

    void onWarning(int, const char*) override { heard.push_back("onWarning"); }
    void onError(int, const char*) override { heard.push_back("onError"); }
    void onJoinChannelSuccess(const char*, uint32_t, int) override {
        heard.push_back("onJoinChannelSuccess");
    }
    void onRejoinChannelSuccess(const char*, uint32_t, int) override {
        heard.push_back("onRejoinChannelSuccess");
    }
    void onChannelLeft(const velto::rtc::RtcStats&) override { heard.push_back("onChannelLeft"); }
    void onRemoteUserJoined(uint32_t uid, int) override {
        heard.push_back("onRemoteUserJoined " + std::to_string(uid));
    }
    void onRemoteUserOffline(uint32_t, int) override { heard.push_back("onRemoteUserOffline"); }
    void onConnectionLost() override { heard.push_back("onConnectionLost"); }
    void onLocalVideoStats(const velto::rtc::LocalVideoStats&) override {
        heard.push_back("onLocalVideoStats");
    }
    void onRemoteVideoStats(const velto::rtc::RemoteVideoStats&) override {
        heard.push_back("onRemoteVideoStats");
    }
    void onLocalAudioStats(const velto::rtc::LocalAudioStats&) override {
        heard.push_back("onLocalAudioStats");
    }
    void onRemoteAudioStats(const velto::rtc::RemoteAudioStats& stats) override {
        heard.push_back("onRemoteAudioStats " + std::to_string(stats.uid));
    }
    void onFirstRemoteVideoFrame(uint32_t, int width, int, int) override {
        heard.push_back("onFirstRemoteVideoFrame " + std::to_string(width));
    }
};

}  // namespace

int main() {
    RecordingHandler handler;
    velto::rtc::IRtcEngineEventHandler* base = &handler;
    const EventHandlerSlots& slots = velto::rtc::slotsOf(base);
    const velto::rtc::RtcStats rtc{};
    const velto::rtc::LocalVideoStats localVideo{};
    const velto::rtc::RemoteVideoStats remoteVideo{};
    const velto::rtc::LocalAudioStats localAudio{};
    velto::rtc::RemoteAudioStats remoteAudio{};
    remoteAudio.uid = 7;

    void* const destroyed = slots.scalarDeletingDestructor(base, 1);
    slots.onWarning(base, 1, "w");
    slots.onError(base, 2, "e");
    slots.onJoinChannelSuccess(base, "c", 1, 0);
    slots.onRejoinChannelSuccess(base, "c", 1, 0);
    slots.onChannelLeft(base, rtc);
    slots.onRemoteUserJoined(base, 42, 0);
    slots.onRemoteUserOffline(base, 42, 0);
    slots.onConnectionLost(base);
    slots.onLocalVideoStats(base, localVideo);
    slots.onRemoteVideoStats(base, remoteVideo);
    slots.onLocalAudioStats(base, localAudio);
    slots.onRemoteAudioStats(base, remoteAudio);
    slots.onFirstRemoteVideoFrame(base, 42, 640, 480, 0);

    const std::vector<std::string> expected = {"onWarning",
                                               "onError",
                                               "onJoinChannelSuccess",
                                               "onRejoinChannelSuccess",
                                               "onChannelLeft",
                                               "onRemoteUserJoined 42",
                                               "onRemoteUserOffline",
                                               "onConnectionLost",
                                               "onLocalVideoStats",
                                               "onRemoteVideoStats",
                                               "onLocalAudioStats",
                                               "onRemoteAudioStats 7",
                                               "onFirstRemoteVideoFrame 640"};
    int failures = 0;
    if (destroyed != base) {
        std::printf("FAILED: the destructor's slot returned %p, not the handler\n", destroyed);
        ++failures;
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::string got = i < handler.heard.size() ? handler.heard[i] : "nothing";
        if (got != expected[i]) {
            std::printf("FAILED: slot %zu reached %s, not %s\n", i + 1, got.c_str(),
                        expected[i].c_str());
            ++failures;
        }
    }
    if (handler.heard.size() != expected.size()) {
        std::printf("FAILED: %zu notifications heard\n", handler.heard.size());
        ++failures;
    }
    std::printf(failures == 0 ? "all passed\n" : "%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
