#include "Freestanding.h"

// The compiler lowers record copies and clears to these calls. Built with -ffreestanding, which
// keeps it from turning the loops below back into calls to themselves.
extern "C" void* memcpy(void* to, const void* from, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(to);
    const unsigned char* in = static_cast<const unsigned char*>(from);
    for (size_t i = 0; i < count; ++i) {
        out[i] = in[i];
    }
    return to;
}

extern "C" void* memset(void* to, int value, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(to);
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<unsigned char>(value);
    }
    return to;
}

namespace foreign {

size_t textLength(const char* text) {
    size_t length = 0;
    while (text != nullptr && text[length] != 0) {
        ++length;
    }
    return length;
}

bool sameText(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    size_t i = 0;
    while (a[i] != 0 && a[i] == b[i]) {
        ++i;
    }
    return a[i] == b[i];
}

uint32_t fnv1a(const void* data, size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ bytes[i]) * 16777619u;
    }
    return hash;
}

Text& Text::add(const char* text) {
    for (size_t i = 0; text != nullptr && text[i] != 0; ++i) {
        if (length_ + 1 >= capacity_) {
            overflowed_ = true;
            break;
        }
        buffer_[length_++] = text[i];
    }
    buffer_[length_] = 0;
    return *this;
}

Text& Text::add(int64_t value) {
    char digits[24];
    int count = 0;
    // Negated in unsigned arithmetic, so the most negative value prints too.
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    char text[26];
    int length = 0;
    if (value < 0) {
        text[length++] = '-';
    }
    while (count > 0) {
        text[length++] = digits[--count];
    }
    text[length] = 0;
    return add(text);
}

Text& Text::hex(uint32_t value) {
    char text[9];
    for (int i = 7; i >= 0; --i) {
        text[i] = "0123456789abcdef"[value & 0xF];
        value >>= 4;
    }
    text[8] = 0;
    return add(text);
}

void SpinLock::lock() {
    while (__atomic_exchange_n(&held_, 1, __ATOMIC_ACQUIRE) != 0) {
        __builtin_ia32_pause();
    }
}

void SpinLock::unlock() {
    __atomic_store_n(&held_, 0, __ATOMIC_RELEASE);
}

}  // namespace foreign
