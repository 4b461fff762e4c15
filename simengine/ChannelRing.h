// Shared memory for the media of one link and direction: a ring of slots in a memfd that the
// SENDER makes, fills and passes once to the receiver (ChannelWire's ring message, the descriptor
// with it); each frame then costs one copy in, one small message and one copy out. The sockets
// stay for control: they keep messages in order, check the peer's credentials and tell at once
// when the other process is gone.
//
// Layout: a control area of kRingControlBytes (RingControl, shared by both ends), then the
// slots. A slot's busy word is set by the sender when it writes the slot and cleared by the
// receiver once it copied the frame out; the sender takes only slots it sees clear, so neither
// side ever waits for the other. When the sender finds none clear it sets `waiting`, and the
// receiver that clears a slot answers with a released message: the only wake-up the ring costs.
//
// Against a hostile peer of the same user the receiver trusts nothing in the ring: the geometry
// comes in the ring message and must match the descriptor's size exactly, the descriptor must
// be a memfd sealed against shrinking (so no read of the mapping can fault: no SIGBUS), at most
// kMaxRingBytes, the slots are mapped read-only (only the control area is writable) and every
// slot and length a slot message names is checked against the mapping before one copy out.
// What a hostile sender writes into a slot while it is read only spoils its own frame.
//
// Descriptors go through the network's SocketFd list (a forked child lets go of them); the
// mappings are dropped with the ring. A forked child keeps the parent's mappings like any
// memory, but never writes them: its engine threads did not survive the fork.
//
// Threads: a RingWriter is used under its link's send mutex, a RingReader by the network thread.
// Linux only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "simengine/ChannelSocket.h"
#include "simengine/ChannelWire.h"

namespace velto {
namespace sim {

// At offset 0 of every ring. Lock-free atomics on words are address-free: both processes may
// use them through their own mappings.
struct RingControl {
    std::atomic<std::uint32_t> waiting;  // the sender waits for a slot to be released
    std::atomic<std::uint32_t> busy[kMaxRingSlots];
};
static_assert(sizeof(RingControl) <= kRingControlBytes, "RingControl fits its area");
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "address-free ring words");

class RingWriter {
  public:
    // A new ring of `slots` slots of `slotBytes` (rounded up to whole pages), or nullptr when
    // the system gives none (the caller then sends inline).
    static std::unique_ptr<RingWriter> make(std::uint32_t slots, std::size_t slotBytes);
    RingWriter(const RingWriter&) = delete;
    RingWriter& operator=(const RingWriter&) = delete;
    ~RingWriter();

    // The descriptor to pass with the ring message, until it was passed.
    int descriptor() const { return fd_.get(); }
    bool announced() const { return !fd_.valid(); }
    // The ring message was sent: the receiver holds the ring now, the descriptor goes.
    void markAnnounced() { fd_ = SocketFd(); }

    std::uint32_t slots() const { return slots_; }
    std::size_t slotBytes() const { return slotBytes_; }
    // A free slot, now marked busy, or -1 when none is. `wait`: when none is, the receiver is
    // asked to say when one is released.
    int takeSlot(bool wait);
    std::uint8_t* slot(int index) const {
        return data_ + static_cast<std::size_t>(index) * slotBytes_;
    }
    // A slot taken but never announced.
    void giveBack(int index);

  private:
    RingWriter() = default;
    int freeSlot();

    SocketFd fd_;
    void* base_ = nullptr;
    std::size_t size_ = 0;
    RingControl* control_ = nullptr;
    std::uint8_t* data_ = nullptr;
    std::uint32_t slots_ = 0;
    std::size_t slotBytes_ = 0;
};

class RingReader {
  public:
    // Maps the ring passed as `fd` with the geometry of `ring`; nullptr with `why` set when the
    // descriptor is not a memfd sealed against shrinking of exactly that size, or cannot be
    // mapped.
    static std::unique_ptr<RingReader> map(int fd, const WireRing& ring, const char*& why);
    RingReader(const RingReader&) = delete;
    RingReader& operator=(const RingReader&) = delete;
    ~RingReader();

    std::size_t bytes() const { return controlSize_ + dataSize_; }
    std::uint64_t slotBytes() const { return slotBytes_; }
    // The first `length` bytes of `slot`, or nullptr when they lie outside the ring.
    const std::uint8_t* slot(std::uint32_t index, std::size_t length) const;
    // After the slot was copied out: frees it for the sender; true when the sender waits to
    // hear so.
    bool release(std::uint32_t index);

  private:
    RingReader() = default;

    void* control_ = nullptr;  // read-write: the busy words and `waiting`
    std::size_t controlSize_ = 0;
    const std::uint8_t* data_ = nullptr;  // read-only
    std::size_t dataSize_ = 0;
    std::uint32_t slots_ = 0;
    std::uint64_t slotBytes_ = 0;
};

}  // namespace sim
}  // namespace velto
