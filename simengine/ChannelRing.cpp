#include "simengine/ChannelRing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

// Older C libraries (manylinux builds) name neither memfd_create nor the seals; the kernel's
// numbers are fixed.
#ifndef MFD_CLOEXEC
#define MFD_CLOEXEC 0x0001U
#endif
#ifndef MFD_ALLOW_SEALING
#define MFD_ALLOW_SEALING 0x0002U
#endif
#ifndef F_ADD_SEALS
#define F_ADD_SEALS 1033
#define F_GET_SEALS 1034
#endif
#ifndef F_SEAL_SEAL
#define F_SEAL_SEAL 0x0001
#define F_SEAL_SHRINK 0x0002
#define F_SEAL_GROW 0x0004
#endif

namespace velto {
namespace sim {

namespace {

constexpr std::size_t kPage = 4096;

int makeMemfd() {
#ifdef SYS_memfd_create
    return static_cast<int>(
        syscall(SYS_memfd_create, "velto-sim-ring", MFD_CLOEXEC | MFD_ALLOW_SEALING));
#else
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

std::unique_ptr<RingWriter> RingWriter::make(std::uint32_t slots, std::size_t slotBytes) {
    slotBytes = (slotBytes + kPage - 1) / kPage * kPage;
    if (slots == 0 || slots > kMaxRingSlots || slotBytes == 0 ||
        slotBytes > (kMaxRingBytes - kRingControlBytes) / slots) {
        return nullptr;
    }
    std::unique_ptr<RingWriter> ring(new RingWriter);
    ring->fd_ = SocketFd::created(makeMemfd);
    if (!ring->fd_.valid()) {
        return nullptr;
    }
    const int fd = ring->fd_.get();
    const std::size_t size = kRingControlBytes + slots * slotBytes;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        return nullptr;
    }
    void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        return nullptr;
    }
    ring->base_ = base;
    ring->size_ = size;
    // A fresh memfd reads as zeros: every slot free, nobody waiting.
    ring->control_ = static_cast<RingControl*>(base);
    ring->data_ = static_cast<std::uint8_t*>(base) + kRingControlBytes;
    ring->slots_ = slots;
    ring->slotBytes_ = slotBytes;
    return ring;
}

RingWriter::~RingWriter() {
    if (base_ != nullptr) {
        munmap(base_, size_);
    }
}

int RingWriter::freeSlot() {
    // The lowest free slot: a receiver that keeps up frees slot 0 before the next frame, so the
    // copies in and out stay on memory the caches hold.
    for (std::uint32_t index = 0; index < slots_; ++index) {
        // Acquire: the receiver's copy out of the slot is over before it is written again.
        if (control_->busy[index].load() == 0) {
            control_->busy[index].store(1, std::memory_order_relaxed);
            return static_cast<int>(index);
        }
    }
    return -1;
}

int RingWriter::takeSlot(bool wait) {
    int index = freeSlot();
    if (index >= 0 || !wait) {
        return index;
    }
    // Asked first, looked again after: a release between the two is either seen here or
    // answered with a message (both sides order their stores and loads sequentially).
    control_->waiting.store(1);
    index = freeSlot();
    if (index >= 0) {
        control_->waiting.store(0);
    }
    return index;
}

void RingWriter::giveBack(int index) {
    if (index >= 0 && static_cast<std::uint32_t>(index) < slots_) {
        control_->busy[index].store(0, std::memory_order_release);
    }
}

std::unique_ptr<RingReader> RingReader::map(int fd, const WireRing& ring, const char*& why) {
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "a ring that is not a memory file";
        return nullptr;
    }
    const int seals = fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & F_SEAL_SHRINK) == 0) {
        why = "a ring not sealed against shrinking";
        return nullptr;
    }
    // The wire reader bounded slots x slotBytes by kMaxRingBytes already.
    const std::uint64_t dataSize = static_cast<std::uint64_t>(ring.slots) * ring.slotBytes;
    if (static_cast<std::uint64_t>(info.st_size) != kRingControlBytes + dataSize ||
        kRingControlBytes + dataSize > kMaxRingBytes) {
        why = "a ring of another size than announced";
        return nullptr;
    }
    std::unique_ptr<RingReader> reader(new RingReader);
    void* control = mmap(nullptr, kRingControlBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (control == MAP_FAILED) {
        why = "a ring that cannot be mapped";
        return nullptr;
    }
    reader->control_ = control;
    reader->controlSize_ = kRingControlBytes;
    void* data = mmap(nullptr, static_cast<std::size_t>(dataSize), PROT_READ, MAP_SHARED, fd,
                      static_cast<off_t>(kRingControlBytes));
    if (data == MAP_FAILED) {
        why = "a ring that cannot be mapped";
        return nullptr;
    }
    reader->data_ = static_cast<const std::uint8_t*>(data);
    reader->dataSize_ = static_cast<std::size_t>(dataSize);
    reader->slots_ = ring.slots;
    reader->slotBytes_ = ring.slotBytes;
    return reader;
}

RingReader::~RingReader() {
    if (control_ != nullptr) {
        munmap(control_, controlSize_);
    }
    if (data_ != nullptr) {
        munmap(const_cast<std::uint8_t*>(data_), dataSize_);
    }
}

const std::uint8_t* RingReader::slot(std::uint32_t index, std::size_t length) const {
    if (index >= slots_ || length > slotBytes_) {
        return nullptr;
    }
    return data_ + static_cast<std::size_t>(index) * slotBytes_;
}

bool RingReader::release(std::uint32_t index) {
    if (index >= slots_) {
        return false;
    }
    auto* control = static_cast<RingControl*>(control_);
    control->busy[index].store(0);
    return control->waiting.exchange(0) != 0;
}

}  // namespace sim
}  // namespace velto
