#include "simengine/GuardedBuffer.h"

#include <cstring>

namespace velto {
namespace sim {

namespace {

// Varies with the position so that a shifted copy of the canaries is caught as well.
unsigned char canaryByte(std::size_t position) {
    return static_cast<unsigned char>(0xA5 ^ (position * 31));
}

}  // namespace

GuardedBuffer::GuardedBuffer(const void* source, std::size_t length)
    : null_(source == nullptr), length_(null_ ? 0 : length) {
    if (null_) {
        return;
    }
    storage_.resize(kCanaryBytes + length_ + kCanaryBytes);
    for (std::size_t i = 0; i < kCanaryBytes; ++i) {
        storage_[i] = canaryByte(i);
        storage_[kCanaryBytes + length_ + i] = canaryByte(i + kCanaryBytes);
    }
    if (length_ > 0) {
        std::memcpy(storage_.data() + kCanaryBytes, source, length_);
    }
}

void* GuardedBuffer::data() {
    return null_ ? nullptr : storage_.data() + kCanaryBytes;
}

bool GuardedBuffer::intact() const {
    if (null_) {
        return true;
    }
    for (std::size_t i = 0; i < kCanaryBytes; ++i) {
        if (storage_[i] != canaryByte(i) ||
            storage_[kCanaryBytes + length_ + i] != canaryByte(i + kCanaryBytes)) {
            return false;
        }
    }
    return true;
}

void GuardedBuffer::copyTo(void* destination) const {
    if (null_ || destination == nullptr || length_ == 0) {
        return;
    }
    std::memcpy(destination, storage_.data() + kCanaryBytes, length_);
}

}  // namespace sim
}  // namespace velto
