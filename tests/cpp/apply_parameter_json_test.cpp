// What Python cannot reach: the 510-character cut of applyParameterJson and its result when the
// engine gives no EngineParameters. Built and run by tests/test_native_units.py.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/ApplyParameterJson.h"

namespace {

int failures = 0;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

class RecordingParameters final : public velto::rtc::EngineParameters {
  public:
    std::vector<std::string> texts;
    int releases = 0;
    int result = 0;

    void release() override { ++releases; }
    int setBoolParameter(const char*, bool) override { return 0; }
    int setStringParameter(const char*, const char*) override { return 0; }
    int setParameters(const char* json) override {
        texts.emplace_back(json);
        return result;
    }
    int resolvePath(const char*, velto::rtc::SdkString**) override { return -1; }
};

// Hands out `parameters` as sub-interface 3, the way an engine does.
class OneInterfaceEngine final : public velto::rtc::IRtcEngine {
  public:
    explicit OneInterfaceEngine(RecordingParameters* parameters) : parameters_(parameters) {}
    int getSubInterface(int id, void** out) override {
        if (id != velto::rtc::kEngineParameters) {
            return -1;
        }
        *out = static_cast<velto::rtc::EngineParameters*>(parameters_);
        return 0;
    }
    int initialize(const velto::rtc::EngineContext*) override { return 0; }
    int setChannelProfile(int) override { return 0; }
    int setClientRole(int) override { return 0; }
    int joinChannel(const char*, const char*, const char*, unsigned int) override { return 0; }
    int leaveChannel() override { return 0; }
    int enableVideo() override { return 0; }
    int disableVideo() override { return 0; }
    int setVideoConfiguration(const velto::rtc::VideoConfiguration*) override { return 0; }
    int setupLocalView(const velto::rtc::VideoCanvas*) override { return 0; }
    int setupRemoteView(const velto::rtc::VideoCanvas*) override { return 0; }
    int activateLocalView() override { return 0; }
    int enableAudio() override { return 0; }
    int setLocalAudioEnabled(bool) override { return 0; }
    int disableAudio() override { return 0; }
    int setAudioProfile(int, int) override { return 0; }
    int muteAllRemoteAudioStreams(bool) override { return 0; }
    int enableDualStreamMode(bool) override { return 0; }

  private:
    RecordingParameters* parameters_;
};

}  // namespace

int main() {
    using pyv::InterfaceHolder;
    RecordingParameters parameters;
    OneInterfaceEngine engine(&parameters);
    {
        InterfaceHolder<velto::rtc::EngineParameters> holder(&engine,
                                                             velto::rtc::kEngineParameters);
        const std::string longText(600, 'x');
        parameters.result = 42;
        expect(pyv::applyParameterJson(holder, "{\"k\":\"%s\"}", longText.c_str()) == 42,
               "the engine's result passes through unchanged");
        expect(parameters.texts.size() == 1, "one text handed to the engine");
        expect(parameters.texts[0].size() == 510, "a long text is cut to 510 characters");
        expect(parameters.texts[0].compare(0, 6, "{\"k\":\"") == 0, "the cut keeps the start");

        const std::string exact(510 - 2, 'y');
        pyv::applyParameterJson(holder, "[%s]", exact.c_str());
        expect(parameters.texts[1] == "[" + exact + "]", "510 characters pass whole");
        pyv::applyParameterJson(holder, "{\"a\":%s}", "true");
        expect(parameters.texts[2] == "{\"a\":true}", "formatting as printf");
    }
    expect(parameters.releases == 1, "the holder gives its reference back once");

    InterfaceHolder<velto::rtc::EngineParameters> empty;
    expect(pyv::applyParameterJson(empty, "{\"a\":%s}", "true") == pyv::kNoEngineParameters,
           "an empty holder gives -7");
    InterfaceHolder<velto::rtc::EngineParameters> refused(&engine, 99);
    expect(!refused, "a refused id leaves the holder empty");
    InterfaceHolder<velto::rtc::EngineParameters> noEngine(nullptr, 3);
    expect(!noEngine, "no engine leaves the holder empty");
    expect(parameters.texts.size() == 3, "nothing handed over without parameters");

    std::printf("%s\n", failures == 0 ? "all passed" : "some failed");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
