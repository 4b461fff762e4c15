// The journal: every call the library receives, in order, with its decoded arguments and result,
// plus the notifications and frames the engine hands to the module. Reached from the caller's
// threads and from every engine thread; all members lock internally.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velto {
namespace sim {

// One decoded argument value; std::monostate stands for a null pointer.
using Value = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, std::string>;

// Factories, because an int converts equally well to several alternatives of Value.
inline Value nullValue() {
    return Value{std::monostate{}};
}
inline Value boolValue(bool v) {
    return Value{v};
}
inline Value intValue(std::int64_t v) {
    return Value{v};
}
// Pointers are recorded as their address (0 for null) so a test can compare them.
inline Value addressValue(const void* p) {
    return Value{static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p))};
}
// A NUL-terminated text, or null.
Value textValue(const char* text);
// A text stored in a fixed array: up to the first NUL or `capacity` bytes.
Value boundedTextValue(const char* text, std::size_t capacity);

struct Arg {
    std::string key;
    Value value;
};
using Args = std::vector<Arg>;

class Journal {
  public:
    // Appends an entry; `engine` is 0 for library-level calls. Returns a number identifying the
    // entry for complete().
    std::uint64_t record(int engine, std::string call, Args args,
                         std::optional<int> result = std::nullopt);
    // Sets the result of an entry recorded before its outcome was known. Does nothing if the
    // journal was cleared in between.
    void complete(std::uint64_t entryNumber, int result);
    void clear();
    // The whole journal as a JSON array of {"engine","call","args","result"} objects.
    std::string toJson() const;

    // Around fork() (ForkSafety.cpp): held across it, so no child gets the lock held.
    void lockForFork() { mutex_.lock(); }
    void unlockAfterFork() { mutex_.unlock(); }

  private:
    struct Entry {
        std::uint64_t number;
        int engine;
        std::string call;
        Args args;
        std::optional<int> result;
    };

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t nextNumber_ = 1;
};

// The process-wide journal.
Journal& journal();

}  // namespace sim
}  // namespace velto
