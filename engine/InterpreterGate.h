// Decides whether an engine thread may still reach the interpreter. Every dispatch into Python
// passes it twice: before taking the GIL and again once it holds the GIL.
//
// - At interpreter exit, an atexit hook closes the gate and waits, with the GIL released, until
//   no engine thread is inside; from then on engine threads never touch Python and the module
//   prints nothing more.
// - Releasing the engine shuts the frame kinds until the next registration, so no callback
//   starts once terminate() has returned, even while the engine still delivers frames.
//
// Never destroyed: engine threads may consult it until the very end of the process.
#pragma once

#include <atomic>

namespace pyv {

enum class FrameKind : int { Audio = 0, Video = 1 };

class InterpreterGate {
  public:
    static InterpreterGate& instance();

    // A pass through the gate, held by an engine thread for the length of one dispatch.
    class Pass {
      public:
        explicit Pass(InterpreterGate& gate) noexcept;
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        // False when the interpreter is exiting; then the holder must not touch Python.
        bool admitted() const { return admitted_; }

      private:
        InterpreterGate& gate_;
        bool admitted_;
    };

    // Any thread. True once the interpreter began to exit.
    bool exiting() const { return closing_.load(); }
    // Any thread; strict once the caller holds the GIL, since the writers hold it too.
    bool framesOpen(FrameKind kind) const { return framesOpen_[index(kind)].load(); }

    // Interpreter threads, holding the GIL.
    void openFrames(FrameKind kind) { framesOpen_[index(kind)].store(true); }
    void shutFrames() {
        framesOpen_[0].store(false);
        framesOpen_[1].store(false);
    }
    // The atexit hook: closes the gate, then waits with the GIL released until no engine
    // thread holds a pass. Called holding the GIL, returns holding it.
    void closeForExit();

  private:
    static int index(FrameKind kind) { return static_cast<int>(kind); }

    std::atomic<bool> closing_{false};
    std::atomic<int> inFlight_{0};
    std::atomic<bool> framesOpen_[2] = {{false}, {false}};
};

}  // namespace pyv
