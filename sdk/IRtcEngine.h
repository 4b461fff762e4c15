// The engine, its sub-interfaces and the library's entry points. Every operation returns a signed
// 32-bit result, 0 meaning success, unless it says otherwise.
#pragma once

#include "MediaFrames.h"
#include "RtcRecords.h"
#include "SdkExport.h"

namespace velto {
namespace rtc {

// Ids for IRtcEngine::getSubInterface.
enum SubInterfaceId : int {
    kSubInterface1 = 1,
    kSubInterface2 = 2,
    kEngineParameters = 3,
    kObserverRegistry = 4,
};

// Every sub-interface handed out by getSubInterface carries one reference, given back by release.
class ISubInterface {
  public:
    virtual void release() = 0;

  protected:
    ~ISubInterface() = default;
};

// A text owned by the engine, handed out by EngineParameters::resolvePath.
class SdkString {
  public:
    virtual const char* c_str() = 0;
    virtual void release() = 0;

  protected:
    ~SdkString() = default;
};

class EngineParameters : public ISubInterface {
  public:
    virtual int setBoolParameter(const char* key, bool value) = 0;
    virtual int setStringParameter(const char* key, const char* value) = 0;
    virtual int setParameters(const char* json) = 0;
    // On 0, *out holds a string the caller must release.
    virtual int resolvePath(const char* path, SdkString** out) = 0;

  protected:
    ~EngineParameters() = default;
};

class ObserverRegistry : public ISubInterface {
  public:
    virtual int attachAudioObserver(media::IAudioFrameObserver* observer) = 0;
    virtual int attachVideoObserver(media::IVideoFrameObserver* observer) = 0;

  protected:
    ~ObserverRegistry() = default;
};

// No interface of the library declares two virtuals of one name: Microsoft's compiler groups
// overloads in its vtables, so an overload would move slots between the two ABIs.
// tests/test_windows_build.py checks the sdk headers for it.
class IRtcEngine {
  public:
    // Ends the engine created by createEngine; sync=false returns without waiting for the
    // engine's threads. The library exports it under its Microsoft name only; a GNU-ABI build
    // names that symbol outright (through the import library's thunk, as GNU as cannot put the
    // name's '?' into a dllimport reference).
#if VELTO_GNU_ABI_ON_WINDOWS
    static void release(bool sync) __asm__("\"?release@IRtcEngine@rtc@velto@@SAX_N@Z\"");
#else
    static VELTO_API void release(bool sync);
#endif

    virtual int initialize(const EngineContext* context) = 0;
    virtual int setChannelProfile(int profile) = 0;
    virtual int setClientRole(int role) = 0;
    virtual int joinChannel(const char* key, const char* channel, const char* info,
                            unsigned int uid) = 0;
    virtual int leaveChannel() = 0;
    // On 0, *out holds a sub-interface of the kind `id` names, which the caller must release.
    virtual int getSubInterface(int id, void** out) = 0;
    virtual int enableVideo() = 0;
    virtual int disableVideo() = 0;
    virtual int setVideoConfiguration(const VideoConfiguration* config) = 0;
    virtual int setupLocalView(const VideoCanvas* canvas) = 0;
    virtual int setupRemoteView(const VideoCanvas* canvas) = 0;
    virtual int activateLocalView() = 0;
    virtual int enableAudio() = 0;
    virtual int setLocalAudioEnabled(bool enabled) = 0;
    virtual int disableAudio() = 0;
    virtual int setAudioProfile(int profile, int scenario) = 0;
    virtual int muteAllRemoteAudioStreams(bool mute) = 0;
    virtual int enableDualStreamMode(bool enabled) = 0;

  protected:
    ~IRtcEngine() = default;
};

}  // namespace rtc
}  // namespace velto

// Entry points. On Windows they are imported by ordinal: createEngine 2, getEngineVersion 3.
extern "C" {
VELTO_API velto::rtc::IRtcEngine* createEngine();
// Returns a NUL-terminated text owned by the library; writes the build number to *build.
VELTO_API const char* getEngineVersion(int* build);
}
