// A video frame the engine owns while it produces, hands out and forwards it: three I420 planes,
// chroma at half the width and height. Sizes are even. Owned by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto {
namespace sim {

struct I420Frame {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> y;
    std::vector<std::uint8_t> u;
    std::vector<std::uint8_t> v;

    void resize(int w, int h) {
        width = w;
        height = h;
        y.resize(static_cast<std::size_t>(w) * h);
        u.resize(static_cast<std::size_t>(w / 2) * (h / 2));
        v.resize(u.size());
    }
    std::size_t bytes() const { return y.size() + u.size() + v.size(); }
};

}  // namespace sim
}  // namespace velto
