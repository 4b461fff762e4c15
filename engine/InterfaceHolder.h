// Owns at most one reference to an engine sub-interface and gives it back (release()) when it
// goes away. Filled for one call and dropped before the call returns; never keep the raw pointer.
// Used on interpreter threads holding the GIL.
#pragma once

#include <utility>

#include "sdk/IRtcEngine.h"

namespace pyv {

template <typename Interface>
class InterfaceHolder {
  public:
    InterfaceHolder() = default;
    // Asks `engine` for sub-interface `id`; stays empty when the engine is null or refuses.
    InterfaceHolder(velto::rtc::IRtcEngine* engine, int id) { fill(engine, id); }
    InterfaceHolder(const InterfaceHolder&) = delete;
    InterfaceHolder& operator=(const InterfaceHolder&) = delete;
    InterfaceHolder(InterfaceHolder&& other) noexcept
        : held_(std::exchange(other.held_, nullptr)) {}
    InterfaceHolder& operator=(InterfaceHolder&& other) noexcept {
        InterfaceHolder old(std::move(*this));
        held_ = std::exchange(other.held_, nullptr);
        return *this;
    }
    ~InterfaceHolder() { reset(); }

    void fill(velto::rtc::IRtcEngine* engine, int id) {
        if (engine == nullptr) {
            return;
        }
        void* out = nullptr;
        if (engine->getSubInterface(id, &out) == 0 && out != nullptr) {
            reset();
            held_ = static_cast<Interface*>(out);
        }
    }
    // Forgets the reference without giving it back: in a fork child, whose engine is gone.
    void abandon() { held_ = nullptr; }
    Interface* get() const { return held_; }
    Interface* operator->() const { return held_; }
    explicit operator bool() const { return held_ != nullptr; }

  private:
    void reset() {
        if (held_ != nullptr) {
            std::exchange(held_, nullptr)->release();
        }
    }
    Interface* held_ = nullptr;
};

}  // namespace pyv
