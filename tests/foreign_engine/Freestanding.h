// What the foreign engine has instead of a C runtime: the memory functions the compiler may call,
// a bounded text builder, a spin lock, and the three kernel32 functions it imports. Built with
// clang's Microsoft target and no library at all, so nothing here may allocate or throw.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {
void* memcpy(void* to, const void* from, size_t count);
void* memset(void* to, int value, size_t count);

// kernel32, declared by hand: no Windows headers exist here. Handles are opaque pointers.
typedef unsigned long(ThreadStart)(void* parameter);
__declspec(dllimport) void* CreateThread(void* attributes, size_t stackSize, ThreadStart* start,
                                         void* parameter, unsigned long flags,
                                         unsigned long* threadId);
__declspec(dllimport) unsigned long WaitForSingleObject(void* handle, unsigned long milliseconds);
__declspec(dllimport) int CloseHandle(void* handle);
}

namespace foreign {

constexpr unsigned long kWaitObject0 = 0;

size_t textLength(const char* text);
bool sameText(const char* a, const char* b);
// FNV-1a over `size` bytes: what the test computes in Python for the same bytes.
uint32_t fnv1a(const void* data, size_t size);

// Appends to a caller-owned buffer, always NUL-terminated; what does not fit is dropped and
// remembered in overflowed().
class Text {
  public:
    Text(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) { buffer_[0] = 0; }
    Text& add(const char* text);
    Text& add(int64_t value);
    Text& hex(uint32_t value);
    const char* c_str() const { return buffer_; }
    size_t length() const { return length_; }
    bool overflowed() const { return overflowed_; }

  private:
    char* buffer_;
    size_t capacity_;
    size_t length_ = 0;
    bool overflowed_ = false;
};

// Held only around short bookkeeping, never across a call into the module.
class SpinLock {
  public:
    void lock();
    void unlock();

  private:
    int held_ = 0;
};

class Locked {
  public:
    explicit Locked(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~Locked() { lock_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    SpinLock& lock_;
};

}  // namespace foreign
