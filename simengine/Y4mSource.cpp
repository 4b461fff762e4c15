#include "simengine/Y4mSource.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace velto {
namespace sim {

namespace {

constexpr std::size_t kMaxLine = 1024;

// Reads up to and without the next newline; false at the end of the file or for a line longer
// than kMaxLine.
bool readLine(std::FILE* file, std::string& line) {
    line.clear();
    for (;;) {
        const int c = std::fgetc(file);
        if (c == EOF) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        if (line.size() >= kMaxLine) {
            return false;
        }
        line += static_cast<char>(c);
    }
}

// A positive whole number that is the whole of `text`, or -1.
long positive(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return value > 0 ? value : -1;
}

// Copies a plane of `w` x `h` bytes, stored `stride` bytes a row, to `out` (w * h bytes).
void copyPlane(const std::uint8_t* in, int stride, int w, int h, std::uint8_t* out) {
    for (int row = 0; row < h; ++row) {
        std::memcpy(out + static_cast<std::size_t>(row) * w,
                    in + static_cast<std::size_t>(row) * stride, static_cast<std::size_t>(w));
    }
}

}  // namespace

std::unique_ptr<Y4mSource> Y4mSource::open(const std::string& path, bool loop, std::string& error) {
    std::unique_ptr<Y4mSource> source(new Y4mSource);
    source->loop_ = loop;
    source->file_ = std::fopen(path.c_str(), "rb");
    if (source->file_ == nullptr) {
        error = std::strerror(errno);
        return nullptr;
    }
    std::string header;
    if (!readLine(source->file_, header) || header.compare(0, 10, "YUV4MPEG2 ") != 0) {
        error = "not a Y4M file";
        return nullptr;
    }
    double rate = 25;  // what readers assume when the header names none
    std::string colour = "420";
    std::size_t at = 10;
    while (at < header.size()) {
        std::size_t end = header.find(' ', at);
        if (end == std::string::npos) {
            end = header.size();
        }
        const std::string field = header.substr(at, end - at);
        at = end + 1;
        if (field.empty()) {
            continue;
        }
        const std::string value = field.substr(1);
        if (field[0] == 'W') {
            source->width_ = static_cast<int>(positive(value));
        } else if (field[0] == 'H') {
            source->height_ = static_cast<int>(positive(value));
        } else if (field[0] == 'C') {
            colour = value;
        } else if (field[0] == 'F') {
            const std::size_t colon = value.find(':');
            const long num = positive(value.substr(0, colon));
            const long den = colon == std::string::npos ? -1 : positive(value.substr(colon + 1));
            if (num < 0 || den < 0) {
                error = "frame rate '" + value + "' is not N:D";
                return nullptr;
            }
            rate = static_cast<double>(num) / static_cast<double>(den);
        }
    }
    if (source->width_ <= 0 || source->height_ <= 0) {
        error = "no width or height in the header";
    } else if (source->width() < 2 || source->height() < 2 || source->width() > 3840 ||
               source->height() > 2160) {
        error = std::to_string(source->width_) + "x" + std::to_string(source->height_) +
                "; 2x2 to 3840x2160 plays";
    } else if (colour.compare(0, 3, "420") != 0 || colour.find("p1") != std::string::npos) {
        error = "colour space " + colour + "; only I420 (C420) plays";
    }
    if (!error.empty()) {
        return nullptr;
    }
    source->fps_ = static_cast<int>(std::lround(std::max(1.0, std::min(rate, 60.0))));
    source->firstFrame_ = std::ftell(source->file_);
    if (!source->readFrame()) {
        error = "no whole frame";
        return nullptr;
    }
    return source;
}

Y4mSource::~Y4mSource() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool Y4mSource::readFrame() {
    std::string line;
    if (!readLine(file_, line) || line.compare(0, 5, "FRAME") != 0) {
        return false;
    }
    const int cw = (width_ + 1) / 2;
    const int ch = (height_ + 1) / 2;
    const std::size_t lumaBytes = static_cast<std::size_t>(width_) * height_;
    const std::size_t chromaBytes = static_cast<std::size_t>(cw) * ch;
    raw_.resize(lumaBytes + 2 * chromaBytes);
    if (std::fread(raw_.data(), 1, raw_.size(), file_) != raw_.size()) {
        return false;
    }
    last_.resize(width(), height());
    copyPlane(raw_.data(), width_, width(), height(), last_.y.data());
    copyPlane(raw_.data() + lumaBytes, cw, width() / 2, height() / 2, last_.u.data());
    copyPlane(raw_.data() + lumaBytes + chromaBytes, cw, width() / 2, height() / 2, last_.v.data());
    return true;
}

void Y4mSource::next(I420Frame& frame) {
    if (!started_) {
        started_ = true;  // the first frame was read by open()
    } else if (!ended_ && !readFrame()) {
        // A looped file starts again; one that cannot even give its first frame again has ended.
        ended_ = !loop_ || std::fseek(file_, firstFrame_, SEEK_SET) != 0 || !readFrame();
    }
    frame = last_;
}

}  // namespace sim
}  // namespace velto
