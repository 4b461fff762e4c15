// Decides whether an engine thread may still reach the interpreter. Every dispatch into Python
// passes it twice: before taking the GIL and again once it holds the GIL.
//
// - At interpreter exit, an atexit hook closes the gate and waits, with the GIL released, until
//   no engine thread is inside; from then on engine threads never touch Python and the module
//   prints nothing more. Only threads on their way into Python hold passes: statistics lines
//   need none, so a stalled standard output never holds up the exit.
// - A callback that never returns keeps the exit waiting, as a non-daemon thread would; after a
//   few seconds the wait says so on standard error, and Ctrl-C ends the process.
// - Releasing the engine shuts the frame kinds until the next registration, so no callback
//   starts once terminate() has returned, even while the engine still delivers frames.
//
// Never destroyed: engine threads may consult it until the very end of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace pyv {

enum class FrameKind : int { Audio = 0, Video = 1 };

class InterpreterGate {
  public:
    static InterpreterGate& instance();

    // A pass through the gate, held by an engine thread for the length of one dispatch.
    class Pass {
      public:
        explicit Pass(InterpreterGate& gate) noexcept;
        // A pass for a frame of `kind`, so that a wait at exit can name what has not returned.
        Pass(InterpreterGate& gate, FrameKind kind) noexcept;
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        // False when the interpreter is exiting; then the holder must not touch Python.
        bool admitted() const { return admitted_; }

      private:
        InterpreterGate& gate_;
        int kind_;  // -1 for a pass that is not for a frame
        bool admitted_;
    };

    // Any thread. True once the interpreter began to exit.
    bool exiting() const { return closing_.load(); }
    // Any thread; strict once the caller holds the GIL, since the writers hold it too.
    bool framesOpen(FrameKind kind) const { return framesOpen_[index(kind)].load(); }

    // Interpreter threads, holding the GIL: runs `work` with the GIL released, for a module
    // function that may block (on standard output). A thread that finds the exit begun when it
    // wants the GIL back never takes it: the interpreter would end the thread inside this
    // module's frames. Only daemon threads can be there then, since the exit hook runs after the
    // others ended; the process ends without them. Once the exit began, `work` runs with the
    // GIL kept.
    template <typename Work>
    void runWithoutGil(Work&& work) {
        if (exiting()) {
            std::forward<Work>(work)();
            return;
        }
        PyThreadState* saved = PyEval_SaveThread();
        std::forward<Work>(work)();
        retakeGil(saved);
    }

    // Interpreter threads, holding the GIL.
    void openFrames(FrameKind kind) { framesOpen_[index(kind)].store(true); }
    void shutFrames() {
        framesOpen_[0].store(false);
        framesOpen_[1].store(false);
    }
    // The atexit hook: closes the gate and stops statistics output, then waits with the GIL
    // released until no engine thread holds a pass, and gives queued lines a moment to go out.
    // Main thread, holding the GIL; returns holding it, or ends the process on Ctrl-C.
    void closeForExit();

    // Fork child only, while it is the only thread: the passes counted belong to the parent's
    // threads, which do not exist here, and the parent's engine is gone, so frames are shut.
    void restartInForkChild();

  private:
    // Takes the GIL back through a pass, so the exit hook either waits for this or is seen.
    void retakeGil(PyThreadState* saved);
    static int index(FrameKind kind) { return static_cast<int>(kind); }

    std::atomic<bool> closing_{false};
    // Passes held now, and those among them for each frame kind.
    std::atomic<int> inFlight_{0};
    std::atomic<int> framesInFlight_[2] = {{0}, {0}};
    std::atomic<bool> framesOpen_[2] = {{false}, {false}};
};

}  // namespace pyv
