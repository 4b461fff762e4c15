#include "simengine/WavSource.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "simengine/PcmConvert.h"

namespace velto {
namespace sim {

namespace {

// Larger files are refused rather than read whole (about 45 minutes of 48 kHz stereo).
constexpr long kMaxFileBytes = 512L * 1024 * 1024;

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

bool readWhole(const std::string& path, std::vector<unsigned char>& bytes, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(file) : -1;
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        error = "cannot read it";
        ok = false;
    } else if (size > kMaxFileBytes) {
        error = "larger than 512 MiB";
        ok = false;
    } else {
        bytes.resize(static_cast<std::size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
        if (!ok) {
            error = "cannot read it";
        }
    }
    std::fclose(file);
    return ok;
}

// The sample encoding of a WAV format tag other than PCM, in the words players use.
std::string encodingName(int format, int bits) {
    switch (format) {
        case 3:
            return std::to_string(bits) + "-bit float samples";
        case 2:
        case 0x11:
            return "ADPCM samples";
        case 6:
            return "A-law samples";
        case 7:
            return "mu-law samples";
        case 0x55:
            return "MP3 audio";
        default:
            return "audio encoding " + std::to_string(format) + " (not PCM)";
    }
}

}  // namespace

std::unique_ptr<WavSource> WavSource::open(const std::string& path, bool loop, std::string& error) {
    std::vector<unsigned char> bytes;
    if (!readWhole(path, bytes, error)) {
        return nullptr;
    }
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        error = "not a WAV file";
        return nullptr;
    }
    int format = -1, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    const unsigned char* data = nullptr;
    std::size_t dataBytes = 0;
    // Chunks follow one another, each padded to an even size; unknown ones are passed over.
    std::size_t at = 12;
    while (at + 8 <= bytes.size() && (data == nullptr || format < 0)) {
        const unsigned char* chunk = bytes.data() + at;
        const std::size_t declared = le32(chunk + 4);
        const std::size_t available = bytes.size() - at - 8;
        // A streamed file leaves the data size open; whatever follows is its data.
        const std::size_t size = declared < available ? declared : available;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            rate = le32(chunk + 12);
            bits = le16(chunk + 22);
            if (format == 0xFFFE && size >= 26) {
                format = le16(chunk + 32);  // the extensible format's sub-format
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            dataBytes = size;
        }
        at += 8 + size + (size & 1);
    }
    if (format < 0) {
        error = "no format chunk";
    } else if (format != 1) {
        error = encodingName(format, bits) + "; only 16-bit PCM plays";
    } else if (bits != 16) {
        error = std::to_string(bits) + "-bit samples; only 16-bit PCM plays";
    } else if (channels < 1 || channels > 2) {
        error = std::to_string(channels) + " channels; mono or stereo plays";
    } else if (rate < 1000 || rate > 384000) {
        error = "sample rate " + std::to_string(rate) + "; 1000 to 384000 plays";
    } else if (data == nullptr || dataBytes < static_cast<std::size_t>(2 * channels)) {
        error = "no samples";
    }
    if (!error.empty()) {
        return nullptr;
    }
    std::vector<std::int16_t> pcm(dataBytes / (2 * channels) * channels);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<std::int16_t>(le16(data + 2 * i));
    }
    return std::unique_ptr<WavSource>(
        new WavSource(std::move(pcm), static_cast<int>(rate), channels, loop));
}

void WavSource::read(std::int16_t* out, int samples, int channels, int rate) {
    const double length = static_cast<double>(frames());
    const double step = static_cast<double>(rate_) / rate;
    for (int i = 0; i < samples; ++i, position_ += step) {
        if (position_ >= length) {
            if (!loop_) {
                std::memset(
                    out + static_cast<std::size_t>(i) * channels, 0,
                    sizeof(std::int16_t) * static_cast<std::size_t>(samples - i) * channels);
                position_ = length;
                return;
            }
            position_ = std::fmod(position_, length);
        }
        const auto k = static_cast<std::size_t>(position_);
        // The frame after the last is the first again when looping, else the last itself.
        const std::size_t next = k + 1 < frames() ? k + 1 : (loop_ ? 0 : k);
        const double fraction = position_ - static_cast<double>(k);
        for (int c = 0; c < channels; ++c) {
            const int a = sampleFor(&pcm_[k * channels_], channels_, channels, c);
            const int b = sampleFor(&pcm_[next * channels_], channels_, channels, c);
            out[static_cast<std::size_t>(i) * channels + c] =
                static_cast<std::int16_t>(std::lround(a + (b - a) * fraction));
        }
    }
}

}  // namespace sim
}  // namespace velto
