// The process-wide engine object: holds the engine handle, is the engine's event handler and its
// audio and video frame observer, keeps the user-to-view map and the registered frame bindings.
// Created on first use by an interpreter thread and never destroyed, so the pointers the engine
// holds to it stay valid until the process ends.
//
// Threads: interpreter threads (holding the GIL) call the public non-override members. Engine
// threads (without the GIL) call the notifications and observer operations.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "bridge/FrameCallback.h"
#include "engine/CViewPool.h"
#include "engine/InterfaceHolder.h"
#include "engine/InterpreterGate.h"
#include "sdk/IRtcEngine.h"
#include "sdk/IRtcEngineEventHandler.h"

namespace pyv {

// The module's own result for an operation that needs an engine when there is none.
constexpr int32_t kNoEngine = -7;

class CVeltoObject final : public velto::rtc::IRtcEngineEventHandler,
                           public velto::media::IAudioFrameObserver,
                           public velto::media::IVideoFrameObserver {
  public:
    // The one engine object; the first call creates it under instanceMutex. Never null.
    static CVeltoObject& getInstance();

    // --- Engine handle (interpreter threads) ---
    velto::rtc::IRtcEngine* engine() const { return rtcEngine_.load(std::memory_order_acquire); }
    // Releases the current engine through the library, if there is one, and forgets it. Waits
    // for no engine thread; a notification that is calling through the engine finishes first.
    void releaseEngine();
    // Creates and initialises a fresh engine (releasing any old one) with this object as its
    // event handler, then asks it for sub-interfaces 2 and 1. Leaves no engine if the library
    // gives none.
    void startEngine(const char* initText);

    // --- Fork (engine/ForkGuard.cpp) ---
    // Around fork() on the forking thread, holding the GIL: the engine and view locks are held
    // across it, so the child never gets them in a held state.
    void lockForFork();
    void unlockAfterFork();
    // Fork child only, while it is the only thread: the parent's engine and its threads are
    // gone. Forgets the engine and its sub-interfaces without calling them, and unlocks.
    void restartInForkChild();

    // --- Views (interpreter threads) ---
    void addView(ViewHandle view);
    ViewHandle takeLocalView();

    // --- Frame bridge (interpreter threads) ---
    // Attaches the observer to the current engine and publishes callback and context. Returns
    // false, storing and attaching nothing, when there is no engine or no observer registry.
    bool registerAudioObserver(FrameCallback callback,
                               std::unique_ptr<StreamCallbackContext> context);
    bool registerVideoObserver(FrameCallback callback,
                               std::unique_ptr<StreamCallbackContext> context);

    // --- Statistics output ---
    void logOff() { loggedOff_.store(true); }
    bool loggedOff() const { return loggedOff_.load(); }

    // --- Notifications (engine threads) ---
    void onChannelLeft(const velto::rtc::RtcStats& stats) override;
    void onRemoteUserJoined(uint32_t uid, int elapsed) override;
    void onRemoteUserOffline(uint32_t uid, int reason) override;
    void onLocalVideoStats(const velto::rtc::LocalVideoStats& stats) override;
    void onRemoteVideoStats(const velto::rtc::RemoteVideoStats& stats) override;
    void onLocalAudioStats(const velto::rtc::LocalAudioStats& stats) override;
    void onRemoteAudioStats(const velto::rtc::RemoteAudioStats& stats) override;

    // --- Frame observers (engine media threads) ---
    bool onStreamAudioRecord(velto::media::EngineAudioFrame& frame) override;
    bool onStreamAudioPlay(velto::media::EngineAudioFrame& frame) override;
    bool onStreamAudioMix(velto::media::EngineAudioFrame& frame) override;
    bool onStreamAudioPlayBeforeMix(unsigned int uid,
                                    velto::media::EngineAudioFrame& frame) override;
    bool audioOption1() override { return false; }
    bool audioOption2() override { return true; }
    bool onStreamVideoCap(velto::media::EngineVideoFrame& frame) override;
    bool videoOption1() override { return true; }
    bool onStreamVideoRender(unsigned int uid, velto::media::EngineVideoFrame& frame) override;
    int videoOption2() override { return 0; }
    bool videoOption3() override { return false; }
    bool videoOption4() override { return false; }
    bool videoOption5() override { return false; }
    int videoOption6() override { return 3; }
    bool videoOption7() override { return false; }
    bool videoOption8() override { return true; }

  private:
    CVeltoObject() = default;
    ~CVeltoObject() = default;

    bool attachAndPublish(const std::function<void(velto::rtc::ObserverRegistry&)>& attach,
                          std::atomic<const FrameBinding*>& slot, FrameKind kind,
                          FrameCallback callback, std::unique_ptr<StreamCallbackContext> context);
    static void forward(const std::atomic<const FrameBinding*>& slot, int streamType,
                        unsigned int uid, void* frame) noexcept;
    // Binds `view` to `uid` on the engine unless the engine is gone or being released.
    void setupRemoteView(ViewHandle view, uint32_t uid) noexcept;

    // Written by interpreter threads under engineMutex_; engine threads read it only under
    // engineMutex_, so a notification never calls through an engine that is being released.
    std::mutex engineMutex_;
    std::atomic<velto::rtc::IRtcEngine*> rtcEngine_{nullptr};

    // Guards remoteViews_ and the process-wide CViewPool. The GIL is never taken while held.
    std::mutex viewsMutex_;
    std::unordered_map<uint32_t, ViewHandle> remoteViews_;

    // Kept from initialize to the next initialize; nothing uses them in between.
    InterfaceHolder<velto::rtc::ISubInterface> subInterface2_;
    InterfaceHolder<velto::rtc::ISubInterface> subInterface1_;

    std::atomic<const FrameBinding*> audioBinding_{nullptr};
    std::atomic<const FrameBinding*> videoBinding_{nullptr};
    // Owns every binding ever published (interpreter threads, under the GIL).
    std::vector<std::unique_ptr<FrameBinding>> bindings_;

    std::atomic<bool> loggedOff_{false};
};

}  // namespace pyv
