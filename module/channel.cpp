// addView, setChannelProfile, setClientRole, joinChannel, leaveChannel.
#include <cstring>
#include <string>

#include "engine/CVeltoObject.h"
#include "module/functions.h"
#include "module/results.h"

namespace pyv {

PyObject* setChannelProfile(PyObject*, PyObject* args) {
    return callPython([&] {
        int profile = 0;
        parseArgs(args, "i", &profile);
        velto::rtc::IRtcEngine* engine = CVeltoObject::getInstance().engine();
        return succeeded(engine ? engine->setChannelProfile(profile) : kNoEngine);
    });
}

PyObject* setClientRole(PyObject*, PyObject* args) {
    return callPython([&] {
        int role = 0;
        parseArgs(args, "i", &role);
        velto::rtc::IRtcEngine* engine = CVeltoObject::getInstance().engine();
        return succeeded(engine ? engine->setClientRole(role) : kNoEngine);
    });
}

// Binds the first view ever added to the local user's video, activates it and joins.
PyObject* joinChannel(PyObject*, PyObject* args) {
    return callPython([&] {
        const char* keyText = nullptr;
        const char* channelText = nullptr;
        unsigned int uid = 0;
        parseArgs(args, "ssI", &keyText, &channelText, &uid);
        const std::string key(keyText);
        const std::string channel(channelText);
        CVeltoObject& object = CVeltoObject::getInstance();
        if (channel.empty()) {
            return engineInt(-1);
        }
        velto::rtc::IRtcEngine* engine = object.engine();
        if (engine == nullptr) {
            return engineInt(kNoEngine);
        }
        velto::rtc::VideoCanvas canvas;
        std::memset(&canvas, 0, sizeof canvas);
        canvas.mode = 2;
        canvas.uid = uid;
        canvas.view = object.joinChannel();
        engine->setupLocalView(&canvas);
        engine->activateLocalView();
        return engineInt(engine->joinChannel(key.c_str(), channel.c_str(), "", uid));
    });
}

PyObject* leaveChannel(PyObject*, PyObject* args) {
    return callPython([&] {
        parseArgs(args, "");
        CVeltoObject& object = CVeltoObject::getInstance();
        velto::rtc::IRtcEngine* engine = object.engine();
        const int result = engine ? engine->leaveChannel() : kNoEngine;
        if (result == 0) {
            object.channelLeft();
        }
        return engineInt(result);
    });
}

PyObject* addView(PyObject*, PyObject* args) {
    return callPython([&] {
        int view = 0;
        parseArgs(args, "i", &view);
        CVeltoObject::getInstance().addView(static_cast<ViewHandle>(view));
        Py_RETURN_NONE;
    });
}

}  // namespace pyv
