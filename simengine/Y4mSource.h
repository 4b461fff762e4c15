// A Y4M file played as a sender's video: I420 (C420 and its siting variants), any size and
// rate, read one frame per tick from disk on the sender's video thread. Odd sizes lose their
// last column or row (the engine's frames are even). Once or looped; after its end a file
// played once shows its last frame. Opened on the thread that joins, then read by one thread.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "simengine/I420Frame.h"

namespace velto {
namespace sim {

class Y4mSource {
  public:
    // The file at `path` with at least one whole frame, or nullptr with `error` saying what is
    // wrong ("no such file", "not a Y4M file", "colour space 444; only I420 (C420) plays", ...).
    static std::unique_ptr<Y4mSource> open(const std::string& path, bool loop, std::string& error);
    ~Y4mSource();

    // Fills `frame` with the next frame, or with the last one again once a file played once
    // has ended (or its rest is truncated or malformed).
    void next(I420Frame& frame);

    int width() const { return width_ & ~1; }
    int height() const { return height_ & ~1; }
    // Frames per second, rounded to a whole number from 1 to 60.
    int fps() const { return fps_; }

    Y4mSource(const Y4mSource&) = delete;
    Y4mSource& operator=(const Y4mSource&) = delete;

  private:
    Y4mSource() = default;
    // Reads one frame into last_; false at the end of the file or a malformed frame.
    bool readFrame();

    std::FILE* file_ = nullptr;
    long firstFrame_ = 0;  // file offset of the first FRAME line
    int width_ = 0;        // as in the file, maybe odd
    int height_ = 0;
    int fps_ = 0;
    bool loop_ = false;
    bool started_ = false;  // the first frame, read by open(), was shown
    bool ended_ = false;
    std::vector<std::uint8_t> raw_;  // one frame as stored
    I420Frame last_;
};

}  // namespace sim
}  // namespace velto
