#include "engine/InterpreterGate.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX  // std::min and std::max stay usable
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "common/compat.h"
#include "engine/NativeOutput.h"

namespace pyv {

namespace {

using Clock = std::chrono::steady_clock;

// How long a callback may keep the exit waiting before the wait says so.
constexpr auto kReportAfter = std::chrono::seconds(3);
// How often the wait looks for Ctrl-C.
constexpr auto kSignalCheckEvery = std::chrono::milliseconds(100);
// Lines queued before the exit began get this long to reach a slow reader; a reader that takes
// longer loses them.
constexpr auto kOutputDrainAtExit = std::chrono::milliseconds(1000);

void writeToStderr(const char* text, std::size_t length) {
#if defined(_WIN32)
    // The process's handle, which the interpreter's runtime moves with its fd 2 (NativeOutput.cpp).
    DWORD written = 0;
    (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written,
                    nullptr);
#else
    (void)::write(2, text, length);
#endif
}

// Ends the process as an uncaught KeyboardInterrupt would (killed by SIGINT), without running
// the rest of the exit: a callback is still inside Python, so finalizing would pull the
// interpreter from under it.
[[noreturn]] void endOnInterrupt() {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    std::_Exit(130);
}

}  // namespace

InterpreterGate& InterpreterGate::instance() {
    // Leaked on purpose: engine threads may pass the gate after static destructors ran.
    static InterpreterGate* const gate = new InterpreterGate();
    return *gate;
}

// The count goes up before the closing flag is read, and the exit hook sets the flag before it
// reads the count: either the hook waits for this pass, or this pass sees the gate closed.
InterpreterGate::Pass::Pass(InterpreterGate& gate) noexcept : gate_(gate), kind_(-1) {
    gate_.inFlight_.fetch_add(1);
    admitted_ = !gate_.closing_.load() && !compat::isFinalizing();
}

InterpreterGate::Pass::Pass(InterpreterGate& gate, FrameKind kind) noexcept
    : gate_(gate), kind_(index(kind)) {
    gate_.framesInFlight_[kind_].fetch_add(1);
    gate_.inFlight_.fetch_add(1);
    admitted_ = !gate_.closing_.load() && !compat::isFinalizing();
}

InterpreterGate::Pass::~Pass() {
    gate_.inFlight_.fetch_sub(1);
    if (kind_ >= 0) {
        gate_.framesInFlight_[kind_].fetch_sub(1);
    }
}

void InterpreterGate::closeForExit() {
    closing_.store(true);
    nativeOutput::stopStatistics();
    const Clock::time_point start = Clock::now();
    Clock::time_point nextSignalCheck = start + kSignalCheckEvery;
    bool reported = false;
    // Engine threads waiting for the GIL get it, see the gate closed and leave at once.
    PyThreadState* saved = PyEval_SaveThread();
    while (inFlight_.load() != 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const Clock::time_point now = Clock::now();
        if (!reported && now - start >= kReportAfter) {
            reported = true;
            const bool audio = framesInFlight_[0].load() != 0;
            const bool video = framesInFlight_[1].load() != 0;
            char text[256];
            const int length = std::snprintf(
                text, sizeof text,
                "_pyveltosdk: the program is exiting and waits for %s that has not returned for "
                "%d s (Ctrl-C ends the process)\n",
                audio && video ? "an audio and a video frame callback"
                : audio        ? "an audio frame callback"
                : video        ? "a video frame callback"
                               : "an engine thread",
                static_cast<int>(kReportAfter.count()));
            if (length > 0) {
                writeToStderr(text, static_cast<std::size_t>(length));
            }
        }
        if (now >= nextSignalCheck) {
            nextSignalCheck = now + kSignalCheckEvery;
            PyEval_RestoreThread(saved);
            // The interpreter runs its signal handlers only in the main thread, where exit
            // functions run; a handler that raises (Ctrl-C) ends the wait.
            if (PyErr_CheckSignals() != 0) {
                const bool interrupt = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0;
                PyErr_Clear();
                static const char message[] =
                    "_pyveltosdk: interrupted while waiting at exit for a frame callback\n";
                writeToStderr(message, sizeof message - 1);
                if (interrupt) {
                    endOnInterrupt();
                }
                std::_Exit(1);
            }
            saved = PyEval_SaveThread();
        }
    }
    if (!nativeOutput::drain(kOutputDrainAtExit)) {
        nativeOutput::discardQueued();
    }
    PyEval_RestoreThread(saved);
}

void InterpreterGate::retakeGil(PyThreadState* saved) {
    {
        Pass pass(*this);
        if (pass.admitted()) {
            PyEval_RestoreThread(saved);
            return;
        }
    }
    // Parked without its pass: a parked thread never reaches Python, and a pass kept here would
    // make the exit, which waits for every pass to end, wait for ever.
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

void InterpreterGate::restartInForkChild() {
    inFlight_.store(0);
    framesInFlight_[0].store(0);
    framesInFlight_[1].store(0);
    shutFrames();
}

}  // namespace pyv
