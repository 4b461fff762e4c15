// Engine-owned copy of a caller's frame bytes, fenced by canary bytes on both sides so that a
// module writing outside the frame is caught. Owned by one delivery task; not shared between
// threads at the same time.
#pragma once

#include <cstddef>
#include <vector>

namespace velto {
namespace sim {

class GuardedBuffer {
  public:
    static constexpr std::size_t kCanaryBytes = 64;

    // Copies `length` bytes from `source`; a null `source` gives a null data().
    GuardedBuffer(const void* source, std::size_t length);

    // The frame bytes handed to the module, or nullptr.
    void* data();
    // False when any canary byte was changed.
    bool intact() const;
    // Copies the (possibly modified) frame bytes back; nothing for a null buffer.
    void copyTo(void* destination) const;

  private:
    bool null_;
    std::size_t length_;
    std::vector<unsigned char> storage_;  // canaries, frame bytes, canaries
};

}  // namespace sim
}  // namespace velto
