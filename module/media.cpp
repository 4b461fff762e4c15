// Audio and video switches, profiles, engine parameters, the log path and statistics output.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/ApplyParameterJson.h"
#include "engine/CVeltoObject.h"
#include "engine/InterpreterGate.h"
#include "engine/NativeOutput.h"
#include "module/functions.h"
#include "module/results.h"

namespace pyv {

namespace {

using velto::rtc::EngineParameters;
using velto::rtc::IRtcEngine;

constexpr const char* kMuteLocalVideoTemplate =
    "{\"rtc.video.capture\":%s,\"che.video.local.capture\":%s,"
    "\"che.video.local.render\":%s,\"che.video.local.send\":%s}";
constexpr const char* kWebInteropTemplate =
    "{\"rtc.video.web_h264_interop_enable\":%s,\"che.video.web_h264_interop_enable\":%s}";
constexpr const char* kMutePeersKey = "rtc.video.mute_peers";
constexpr const char* kLogFileKey = "rtc.log_file";

const char* jsonBool(bool value) {
    return value ? "true" : "false";
}

IRtcEngine* currentEngine() {
    return CVeltoObject::getInstance().engine();
}

// EngineParameters for the length of one call; empty without an engine or when refused.
InterfaceHolder<EngineParameters> engineParameters() {
    return InterfaceHolder<EngineParameters>(currentEngine(), velto::rtc::kEngineParameters);
}

struct SdkStringRelease {
    void operator()(velto::rtc::SdkString* text) const { text->release(); }
};
using SdkStringRef = std::unique_ptr<velto::rtc::SdkString, SdkStringRelease>;

// Parses one truth value with "p".
bool truthArg(PyObject* args) {
    int flag = 0;
    parseArgs(args, "p", &flag);
    return flag != 0;
}

}  // namespace

PyObject* enableVideo(PyObject*, PyObject* args) {
    return callPython([&] {
        const bool enable = truthArg(args);
        IRtcEngine* engine = currentEngine();
        if (engine == nullptr) {
            return engineInt(kNoEngine);
        }
        return engineInt(enable ? engine->enableVideo() : engine->disableVideo());
    });
}

PyObject* enableAudio(PyObject*, PyObject* args) {
    return callPython([&] {
        const bool enable = truthArg(args);
        IRtcEngine* engine = currentEngine();
        if (engine == nullptr) {
            return engineInt(kNoEngine);
        }
        return engineInt(enable ? engine->enableAudio() : engine->disableAudio());
    });
}

// Muting stops capture, local rendering and sending: every member says the opposite of `mute`.
PyObject* muteLocalVideo(PyObject*, PyObject* args) {
    return callPython([&] {
        const char* value = jsonBool(!truthArg(args));
        return succeeded(applyParameterJson(engineParameters(), kMuteLocalVideoTemplate, value,
                                            value, value, value));
    });
}

PyObject* muteLocalAudio(PyObject*, PyObject* args) {
    return callPython([&] {
        const bool mute = truthArg(args);
        IRtcEngine* engine = currentEngine();
        return succeeded(engine ? engine->setLocalAudioEnabled(!mute) : kNoEngine);
    });
}

PyObject* muteAllRemoteVideoStreams(PyObject*, PyObject* args) {
    return callPython([&] {
        const bool mute = truthArg(args);
        InterfaceHolder<EngineParameters> parameters = engineParameters();
        return succeeded(parameters ? parameters->setBoolParameter(kMutePeersKey, mute)
                                    : kNoEngineParameters);
    });
}

PyObject* muteAllRemoteAudioStreams(PyObject*, PyObject* args) {
    return callPython([&] {
        const bool mute = truthArg(args);
        IRtcEngine* engine = currentEngine();
        return succeeded(engine ? engine->muteAllRemoteAudioStreams(mute) : kNoEngine);
    });
}

// True when the engine accepted the switch, as every other bool result here.
PyObject* enableDualStreamMode(PyObject*, PyObject* args) {
    return callPython([&] {
        const bool enable = truthArg(args);
        IRtcEngine* engine = currentEngine();
        return succeeded(engine ? engine->enableDualStreamMode(enable) : kNoEngine);
    });
}

PyObject* setVideoProfile(PyObject*, PyObject* args) {
    return callPython([&] {
        int width = 0, height = 0, frameRate = 0, bitrate = 0;
        parseArgs(args, "iiii", &width, &height, &frameRate, &bitrate);
        IRtcEngine* engine = currentEngine();
        if (engine == nullptr) {
            return succeeded(kNoEngine);
        }
        velto::rtc::VideoConfiguration configuration{width, height, frameRate, -1, bitrate,
                                                     -1,    1,      0,         0};
        return succeeded(engine->setVideoConfiguration(&configuration));
    });
}

PyObject* setAudioProfile(PyObject*, PyObject* args) {
    return callPython([&] {
        int profile = 0, scenario = 0;
        parseArgs(args, "ii", &profile, &scenario);
        IRtcEngine* engine = currentEngine();
        return succeeded(engine ? engine->setAudioProfile(profile, scenario) : kNoEngine);
    });
}

PyObject* enableWebSdkInteroperability(PyObject*, PyObject* args) {
    return callPython([&] {
        const char* value = jsonBool(truthArg(args));
        return succeeded(applyParameterJson(engineParameters(), kWebInteropTemplate, value, value));
    });
}

// Echoes the text on the native standard output, then hands it to the engine as it stands. The
// echo goes through the module's writer, so it never splices into a statistics line, and is out
// before the call returns; the GIL is released meanwhile, as print does around a blocking write.
PyObject* setParameters(PyObject*, PyObject* args) {
    return callPython([&] {
        const char* parsed = nullptr;
        parseArgs(args, "s", &parsed);
        const std::string text(parsed);
        const std::string line = "setParameters:" + text + "\n";
        InterpreterGate::instance().runWithoutGil([&line] {
            // Text others left in the C stream's buffer goes out first, keeping the order.
            std::fflush(stdout);
            nativeOutput::writeLineAndWait(line.data(), line.size());
        });
        // Taken only now: another thread may have replaced the engine while the GIL was free.
        InterfaceHolder<EngineParameters> parameters = engineParameters();
        if (parameters) {
            parameters->setParameters(text.c_str());
        }
        Py_RETURN_NONE;
    });
}

// The engine may rewrite the path (resolvePath); an unresolved path is used as given.
PyObject* setLogPath(PyObject*, PyObject* args) {
    return callPython([&] {
        const char* parsed = nullptr;
        parseArgs(args, "s", &parsed);
        const std::string path(parsed);
        InterfaceHolder<EngineParameters> parameters = engineParameters();
        if (!parameters) {
            return succeeded(kNoEngineParameters);
        }
        velto::rtc::SdkString* resolvedOut = nullptr;
        const int resolveResult = parameters->resolvePath(path.c_str(), &resolvedOut);
        SdkStringRef resolved(resolveResult == 0 ? resolvedOut : nullptr);
        const char* resolvedText = resolved ? resolved->c_str() : nullptr;
        const char* value = resolvedText != nullptr ? resolvedText : path.c_str();
        return succeeded(parameters->setStringParameter(kLogFileKey, value));
    });
}

// Waits up to `timeout` seconds, with the GIL released, until every line queued for the native
// standard output is written: a statistics line is out shortly after its report, not before the
// report returns. True when the queue ran empty.
PyObject* flushOutput(PyObject*, PyObject* args) {
    return callPython([&] {
        double timeout = 10.0;
        parseArgs(args, "|d", &timeout);
        const auto limit = std::chrono::milliseconds(
            static_cast<long long>(timeout > 0 ? std::min(timeout, 1e9) * 1000 : 0));
        bool drained = false;
        InterpreterGate::instance().runWithoutGil(
            [&drained, limit] { drained = nativeOutput::drain(limit); });
        return PyBool_FromLong(drained);
    });
}

// Statistics lines dropped so far because the reader of the native standard output fell behind.
PyObject* droppedLines(PyObject*, PyObject* args) {
    return callPython([&] {
        parseArgs(args, "");
        return PyLong_FromUnsignedLongLong(nativeOutput::droppedLines());
    });
}

PyObject* logOff(PyObject*, PyObject* args) {
    return callPython([&] {
        parseArgs(args, "");
        CVeltoObject::getInstance().logOff();
        nativeOutput::stopStatistics();
        Py_RETURN_TRUE;
    });
}

}  // namespace pyv
