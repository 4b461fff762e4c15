#include "simengine/ChannelWire.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace velto {
namespace sim {

namespace {

constexpr int kMaxWidth = 3840;
constexpr int kMaxHeight = 2160;

WireHeader headerOf(WireKind kind, std::uint32_t uid, std::uint32_t sequence,
                    std::uint64_t sentNs) {
    WireHeader header{};
    header.magic = kWireMagic;
    header.version = kWireVersion;
    header.kind = static_cast<std::uint8_t>(kind);
    header.uid = uid;
    header.sequence = sequence;
    header.sentNs = sentNs;
    return header;
}

template <class Record>
void append(std::vector<std::uint8_t>& out, const Record& record) {
    const std::size_t at = out.size();
    out.resize(at + sizeof record);
    std::memcpy(out.data() + at, &record, sizeof record);
}

// The three planes of `frame` as consecutive ranges of its I420 bytes.
struct PlaneRange {
    std::uint8_t* data;
    std::size_t size;
};

// Sizes the planes of `frame` (width x height set) to hold its first `end` bytes: the vectors
// grow with the bytes that arrived, by doubling, never to what a piece merely announces.
void growFrame(I420Frame& frame, std::size_t end) {
    const std::size_t luma = static_cast<std::size_t>(frame.width) * frame.height;
    const std::size_t chroma = static_cast<std::size_t>(frame.width / 2) * (frame.height / 2);
    std::vector<std::uint8_t>* const planes[] = {&frame.y, &frame.u, &frame.v};
    const std::size_t sizes[] = {luma, chroma, chroma};
    for (int i = 0; i < 3 && end > 0; ++i) {
        const std::size_t need = std::min(end, sizes[i]);
        if (planes[i]->size() < need) {
            planes[i]->resize(need);
        }
        end -= need;
    }
}

bool audioFormatOk(int sampleRate, int channels, int samples) {
    return sampleRate >= 8000 && sampleRate <= 96000 && sampleRate % 100 == 0 &&
           (channels == 1 || channels == 2) && samples == sampleRate / 100;
}

bool videoSizeOk(int width, int height) {
    return width >= 2 && width <= kMaxWidth && width % 2 == 0 && height >= 2 &&
           height <= kMaxHeight && height % 2 == 0;
}

template <class Fields>
void encodeSlot(std::uint8_t* out, WireKind kind, std::uint32_t uid, std::uint32_t sequence,
                std::uint64_t sentNs, const Fields& fields) {
    static_assert(sizeof(WireHeader) + sizeof fields == kSlotMessageBytes, "slot message");
    const WireHeader header = headerOf(kind, uid, sequence, sentNs);
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + sizeof header, &fields, sizeof fields);
}

}  // namespace

std::uint64_t wireClockNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
}

std::vector<std::uint8_t> encodeHello(std::uint32_t uid, const std::string& channel) {
    std::vector<std::uint8_t> out;
    append(out, headerOf(WireKind::kHello, uid, 0, wireClockNs()));
    WireHello hello{};
    hello.pid = static_cast<std::uint32_t>(getpid());
    hello.channelLength = static_cast<std::uint32_t>(channel.size());
    append(out, hello);
    const std::size_t at = out.size();
    out.resize(at + channel.size());
    std::memcpy(out.data() + at, channel.data(), channel.size());
    return out;
}

std::vector<std::uint8_t> encodeBye(std::uint32_t uid) {
    std::vector<std::uint8_t> out;
    append(out, headerOf(WireKind::kBye, uid, 0, wireClockNs()));
    return out;
}

std::vector<std::uint8_t> encodeAudioHead(std::uint32_t uid, std::uint32_t sequence,
                                          std::uint64_t sentNs, int sampleRate, int channels,
                                          int samples) {
    std::vector<std::uint8_t> out;
    append(out, headerOf(WireKind::kAudio, uid, sequence, sentNs));
    WireAudio audio{};
    audio.sampleRate = sampleRate;
    audio.channels = channels;
    audio.samples = samples;
    append(out, audio);
    return out;
}

void encodeVideoHead(std::uint8_t* out, std::uint32_t uid, std::uint32_t sequence,
                     std::uint64_t sentNs, int width, int height, std::uint32_t offset,
                     std::uint32_t length) {
    const WireHeader header = headerOf(WireKind::kVideo, uid, sequence, sentNs);
    WireVideo video{};
    video.width = width;
    video.height = height;
    video.offset = offset;
    video.length = length;
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + sizeof header, &video, sizeof video);
}

std::vector<std::uint8_t> encodeRing(std::uint32_t uid, WireStream stream, std::uint32_t slots,
                                     std::uint64_t slotBytes) {
    std::vector<std::uint8_t> out;
    append(out, headerOf(WireKind::kRing, uid, 0, wireClockNs()));
    WireRing ring{};
    ring.stream = static_cast<std::uint32_t>(stream);
    ring.slots = slots;
    ring.slotBytes = slotBytes;
    append(out, ring);
    return out;
}

std::vector<std::uint8_t> encodeReleased(std::uint32_t uid, WireStream stream) {
    std::vector<std::uint8_t> out;
    append(out, headerOf(WireKind::kReleased, uid, 0, wireClockNs()));
    WireReleased released{};
    released.stream = static_cast<std::uint32_t>(stream);
    append(out, released);
    return out;
}

void encodeAudioSlot(std::uint8_t* out, std::uint32_t uid, std::uint32_t sequence,
                     std::uint64_t sentNs, int sampleRate, int channels, int samples,
                     std::uint32_t slot) {
    WireAudioSlot fields{};
    fields.sampleRate = sampleRate;
    fields.channels = channels;
    fields.samples = samples;
    fields.slot = slot;
    encodeSlot(out, WireKind::kAudioSlot, uid, sequence, sentNs, fields);
}

void encodeVideoSlot(std::uint8_t* out, std::uint32_t uid, std::uint32_t sequence,
                     std::uint64_t sentNs, int width, int height, std::uint32_t slot,
                     std::uint32_t length) {
    WireVideoSlot fields{};
    fields.width = width;
    fields.height = height;
    fields.slot = slot;
    fields.length = length;
    encodeSlot(out, WireKind::kVideoSlot, uid, sequence, sentNs, fields);
}

void copyIntoFrame(I420Frame& frame, std::size_t offset, std::size_t length,
                   const std::uint8_t* in) {
    const PlaneRange planes[] = {{frame.y.data(), frame.y.size()},
                                 {frame.u.data(), frame.u.size()},
                                 {frame.v.data(), frame.v.size()}};
    for (const PlaneRange& plane : planes) {
        if (length == 0) {
            return;
        }
        if (offset >= plane.size) {
            offset -= plane.size;
            continue;
        }
        const std::size_t n = std::min(length, plane.size - offset);
        std::memcpy(plane.data + offset, in, n);
        in += n;
        length -= n;
        offset = 0;
    }
}

namespace {

// A message whose body is exactly `Fields`: copied out once, so nothing is read twice.
template <typename Fields>
bool readExactly(Fields& fields, const std::uint8_t* body, std::size_t length) {
    if (length != sizeof fields) {
        return false;
    }
    std::memcpy(&fields, body, sizeof fields);
    return true;
}

}  // namespace

WireEvent WireReader::refuse(const char* why) {
    refusal_ = why;
    return WireEvent::kRefused;
}

WireEvent WireReader::read(const std::uint8_t* data, std::size_t length, bool truncated,
                           int descriptors) {
    if (truncated) {
        return refuse("oversized");
    }
    WireHeader header{};
    if (data == nullptr || length < sizeof header) {
        return refuse("shorter than a header");
    }
    std::memcpy(&header, data, sizeof header);
    if (header.magic != kWireMagic || header.version != kWireVersion || header.reserved != 0) {
        return refuse("foreign");
    }
    const std::uint8_t* body = data + sizeof header;
    const std::size_t bodyLength = length - sizeof header;
    const auto kind = static_cast<WireKind>(header.kind);
    if (descriptors != (kind == WireKind::kRing ? 1 : 0)) {
        return refuse("descriptors where none belong");
    }
    if (!greeted_) {
        return kind == WireKind::kHello ? readHello(header, body, bodyLength)
                                        : refuse("before the hello");
    }
    if (header.uid != peer_.uid) {
        return refuse("another uid");
    }
    switch (kind) {
        case WireKind::kBye:
            return bodyLength == 0 ? WireEvent::kBye : refuse("malformed bye");
        case WireKind::kAudio:
            return readAudio(header, body, bodyLength);
        case WireKind::kVideo:
            return readVideo(header, body, bodyLength);
        case WireKind::kRing:
            return readRing(body, bodyLength);
        case WireKind::kAudioSlot:
            return readAudioSlot(header, body, bodyLength);
        case WireKind::kVideoSlot:
            return readVideoSlot(header, body, bodyLength);
        case WireKind::kReleased:
            return readReleased(body, bodyLength);
        case WireKind::kHello:
            return refuse("a second hello");
    }
    return refuse("unknown kind");
}

WireEvent WireReader::readHello(const WireHeader& header, const std::uint8_t* body,
                                std::size_t length) {
    WireHello hello{};
    if (length < sizeof hello) {
        return refuse("truncated hello");
    }
    std::memcpy(&hello, body, sizeof hello);
    if (hello.channelLength == 0 || hello.channelLength > kWireMaxChannelBytes ||
        length != sizeof hello + hello.channelLength || header.uid == 0) {
        return refuse("malformed hello");
    }
    peer_.uid = header.uid;
    peer_.pid = hello.pid;
    peer_.channel.assign(reinterpret_cast<const char*>(body + sizeof hello), hello.channelLength);
    greeted_ = true;
    return WireEvent::kHello;
}

WireEvent WireReader::readAudio(const WireHeader& header, const std::uint8_t* body,
                                std::size_t length) {
    WireAudio fields{};
    if (length < sizeof fields) {
        return refuse("truncated audio");
    }
    std::memcpy(&fields, body, sizeof fields);
    if (!audioFormatOk(fields.sampleRate, fields.channels, fields.samples) ||
        fields.reserved != 0) {
        return refuse("malformed audio format");
    }
    const std::size_t values = static_cast<std::size_t>(fields.samples) * fields.channels;
    if (length != sizeof fields + values * sizeof(std::int16_t)) {
        return refuse("audio of the wrong length");
    }
    audio_.sampleRate = fields.sampleRate;
    audio_.channels = fields.channels;
    audio_.samples = fields.samples;
    audio_.sequence = header.sequence;
    audio_.sentNs = header.sentNs;
    audio_.pcm.resize(values);
    std::memcpy(audio_.pcm.data(), body + sizeof fields, values * sizeof(std::int16_t));
    return WireEvent::kAudio;
}

WireEvent WireReader::readVideo(const WireHeader& header, const std::uint8_t* body,
                                std::size_t length) {
    WireVideo fields{};
    if (length < sizeof fields) {
        return refuse("truncated video");
    }
    std::memcpy(&fields, body, sizeof fields);
    if (!videoSizeOk(fields.width, fields.height)) {
        return refuse("malformed video size");
    }
    const std::size_t total = static_cast<std::size_t>(fields.width) * fields.height * 3 / 2;
    if (fields.length == 0 || fields.length > kWirePieceBytes ||
        length != sizeof fields + fields.length || fields.offset > total ||
        fields.length > total - fields.offset) {
        return refuse("video piece out of bounds");
    }
    if (fields.offset == 0) {
        // A new frame; one still incomplete is given up.
        const bool abandoned = assembling_;
        assembling_ = true;
        filled_ = 0;
        videoSequence_ = header.sequence;
        videoSentNs_ = header.sentNs;
        if (video_.width != fields.width || video_.height != fields.height) {
            // Another size: what was held goes, the new frame's planes grow as pieces arrive.
            video_ = I420Frame{};
            video_.width = fields.width;
            video_.height = fields.height;
        }
        if (abandoned) {
            ++abandoned_;
        }
    } else if (!assembling_ || header.sequence != videoSequence_ || fields.offset != filled_ ||
               fields.width != video_.width || fields.height != video_.height) {
        assembling_ = false;
        return refuse("video piece out of order");
    }
    growFrame(video_, fields.offset + fields.length);
    copyIntoFrame(video_, fields.offset, fields.length, body + sizeof fields);
    filled_ += fields.length;
    if (filled_ < total) {
        return WireEvent::kNothing;
    }
    assembling_ = false;
    return WireEvent::kVideo;
}

WireEvent WireReader::readRing(const std::uint8_t* body, std::size_t length) {
    WireRing fields{};
    if (!readExactly(fields, body, length)) {
        return refuse("malformed ring");
    }
    const bool streamOk = fields.stream == static_cast<std::uint32_t>(WireStream::kAudio) ||
                          fields.stream == static_cast<std::uint32_t>(WireStream::kVideo);
    if (!streamOk || fields.slots == 0 || fields.slots > kMaxRingSlots || fields.slotBytes == 0 ||
        fields.slotBytes > (kMaxRingBytes - kRingControlBytes) / fields.slots) {
        return refuse("ring out of bounds");
    }
    ring_ = fields;
    return WireEvent::kRing;
}

WireEvent WireReader::readAudioSlot(const WireHeader& header, const std::uint8_t* body,
                                    std::size_t length) {
    WireAudioSlot fields{};
    if (!readExactly(fields, body, length)) {
        return refuse("malformed audio slot");
    }
    if (!audioFormatOk(fields.sampleRate, fields.channels, fields.samples)) {
        return refuse("malformed audio format");
    }
    const std::size_t values = static_cast<std::size_t>(fields.samples) * fields.channels;
    audio_.sampleRate = fields.sampleRate;
    audio_.channels = fields.channels;
    audio_.samples = fields.samples;
    audio_.sequence = header.sequence;
    audio_.sentNs = header.sentNs;
    audio_.pcm.resize(values);
    audioSlot_ = WireSlot{};
    audioSlot_.slot = fields.slot;
    audioSlot_.length = values * sizeof(std::int16_t);
    audioSlot_.sequence = header.sequence;
    audioSlot_.sentNs = header.sentNs;
    return WireEvent::kAudioSlot;
}

WireEvent WireReader::readVideoSlot(const WireHeader& header, const std::uint8_t* body,
                                    std::size_t length) {
    WireVideoSlot fields{};
    if (!readExactly(fields, body, length)) {
        return refuse("malformed video slot");
    }
    if (!videoSizeOk(fields.width, fields.height)) {
        return refuse("malformed video size");
    }
    const std::size_t total = static_cast<std::size_t>(fields.width) * fields.height * 3 / 2;
    if (fields.length != total) {
        return refuse("video slot of the wrong length");
    }
    videoSlot_.slot = fields.slot;
    videoSlot_.length = total;
    videoSlot_.width = fields.width;
    videoSlot_.height = fields.height;
    videoSlot_.sequence = header.sequence;
    videoSlot_.sentNs = header.sentNs;
    return WireEvent::kVideoSlot;
}

WireEvent WireReader::readReleased(const std::uint8_t* body, std::size_t length) {
    WireReleased fields{};
    if (!readExactly(fields, body, length)) {
        return refuse("malformed released");
    }
    if ((fields.stream != static_cast<std::uint32_t>(WireStream::kAudio) &&
         fields.stream != static_cast<std::uint32_t>(WireStream::kVideo)) ||
        fields.reserved != 0) {
        return refuse("malformed released");
    }
    released_ = static_cast<WireStream>(fields.stream);
    return WireEvent::kReleased;
}

void WireReader::takeVideo(I420Frame& into) {
    std::swap(into, video_);
}

}  // namespace sim
}  // namespace velto
