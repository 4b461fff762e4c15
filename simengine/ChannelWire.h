// The messages peers of a channel exchange, one per socket message: the sender's greeting, its
// goodbye, a 10 ms audio frame, or one piece of a video frame (frames larger than a piece are
// sent as consecutive pieces of one sequence number). Encoding is for the sending threads;
// WireReader checks and reassembles what one connection receives, on the network thread.
// Anything malformed, truncated, oversized, out of order or from another uid is refused and
// never touches a frame already assembled. Pure code; no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simengine/I420Frame.h"

namespace velto {
namespace sim {

constexpr std::uint32_t kWireMagic = 0x4d495356;  // "VSIM" read as a little-endian word
constexpr std::uint8_t kWireVersion = 1;

enum class WireKind : std::uint8_t {
    kHello = 1,
    kBye = 2,
    kAudio = 3,
    kVideo = 4,
};

// Every message starts with this, followed by the fields of its kind and the payload.
struct WireHeader {
    std::uint32_t magic;
    std::uint8_t version;
    std::uint8_t kind;
    std::uint16_t reserved;  // 0
    std::uint32_t uid;       // the sender
    std::uint32_t sequence;  // frame number of the stream (audio and video count apart)
    std::uint64_t sentNs;    // sender's steady clock when the frame left its callback
};
static_assert(sizeof(WireHeader) == 24, "WireHeader layout");

struct WireHello {
    std::uint32_t pid;
    std::uint32_t channelLength;  // channel name bytes follow
};
static_assert(sizeof(WireHello) == 8, "WireHello layout");

struct WireAudio {
    std::int32_t sampleRate;  // a multiple of 100, 8000..96000
    std::int32_t channels;    // 1 or 2
    std::int32_t samples;     // sampleRate / 100; 16-bit interleaved samples follow
    std::int32_t reserved;
};
static_assert(sizeof(WireAudio) == 16, "WireAudio layout");

struct WireVideo {
    std::int32_t width;    // even, 2..3840
    std::int32_t height;   // even, 2..2160
    std::uint32_t offset;  // of this piece within the I420 bytes (y, then u, then v)
    std::uint32_t length;  // bytes of this piece, following
};
static_assert(sizeof(WireVideo) == 16, "WireVideo layout");

// Largest video piece a sender puts in one message, and the largest message a reader accepts.
// Pieces stay well under the socket's default send buffer, so a piece always fits.
constexpr std::size_t kWirePieceBytes = 64 * 1024;
constexpr std::size_t kWireMaxChannelBytes = 1024;
constexpr std::size_t kWireMaxMessage = sizeof(WireHeader) + sizeof(WireVideo) + kWirePieceBytes;

// Steady clock in nanoseconds, shared by all processes of the machine (CLOCK_MONOTONIC).
std::uint64_t wireClockNs();

// A message's header and fixed fields, ready to be sent before its payload.
std::vector<std::uint8_t> encodeHello(std::uint32_t uid, const std::string& channel);
std::vector<std::uint8_t> encodeBye(std::uint32_t uid);
// Header and WireAudio of an audio frame; the caller sends the samples after them.
std::vector<std::uint8_t> encodeAudioHead(std::uint32_t uid, std::uint32_t sequence,
                                          std::uint64_t sentNs, int sampleRate, int channels,
                                          int samples);
// Header and WireVideo of one piece; the caller sends `length` frame bytes from `offset` after.
void encodeVideoHead(std::uint8_t* out, std::uint32_t uid, std::uint32_t sequence,
                     std::uint64_t sentNs, int width, int height, std::uint32_t offset,
                     std::uint32_t length);
constexpr std::size_t kVideoHeadBytes = sizeof(WireHeader) + sizeof(WireVideo);

// What one received message was.
enum class WireEvent {
    kNothing,  // a piece of a video frame still incomplete
    kHello,    // hello() holds the sender's uid, pid and channel
    kBye,
    kAudio,    // audio() holds the frame
    kVideo,    // takeVideo() gives the complete frame
    kRefused,  // malformed, truncated, oversized, foreign or out of order: dropped
};

struct WirePeer {
    std::uint32_t uid = 0;
    std::uint32_t pid = 0;
    std::string channel;
};

struct WireAudioFrame {
    int sampleRate = 0;
    int channels = 0;
    int samples = 0;
    std::uint32_t sequence = 0;
    std::uint64_t sentNs = 0;
    std::vector<std::int16_t> pcm;
};

// Reads one connection's messages in order. Before a hello only a hello is accepted; after it,
// only messages carrying the uid it named.
class WireReader {
  public:
    // `truncated`: the message was longer than the buffer it was read into.
    WireEvent read(const std::uint8_t* data, std::size_t length, bool truncated);

    bool greeted() const { return greeted_; }
    const WirePeer& peer() const { return peer_; }
    const WireAudioFrame& audio() const { return audio_; }
    // Swaps the frame just completed (kVideo) into `into`; what `into` held becomes the next
    // frame's buffer, so a caller that hands back its spare frames spares an allocation.
    void takeVideo(I420Frame& into);
    std::uint32_t videoSequence() const { return videoSequence_; }
    std::uint64_t videoSentNs() const { return videoSentNs_; }
    // Why the last message was refused, for diagnostics.
    const char* refusal() const { return refusal_; }
    // Frames given up incomplete because the next one began (pieces lost on the way).
    std::uint64_t abandoned() const { return abandoned_; }
    // Bytes of the frame being assembled received so far: what the reader holds for a frame
    // that may never complete. A frame's planes grow with what arrives, never to what a first
    // piece announces.
    std::size_t assembling() const { return assembling_ ? filled_ : 0; }

  private:
    WireEvent refuse(const char* why);
    WireEvent readHello(const WireHeader& header, const std::uint8_t* body, std::size_t length);
    WireEvent readAudio(const WireHeader& header, const std::uint8_t* body, std::size_t length);
    WireEvent readVideo(const WireHeader& header, const std::uint8_t* body, std::size_t length);

    bool greeted_ = false;
    WirePeer peer_;
    WireAudioFrame audio_;
    // The video frame being assembled: `filled` bytes of sequence `videoSequence_` so far.
    I420Frame video_;
    bool assembling_ = false;
    std::size_t filled_ = 0;
    std::uint32_t videoSequence_ = 0;
    std::uint64_t videoSentNs_ = 0;
    const char* refusal_ = "";
    std::uint64_t abandoned_ = 0;
};

// Copies `length` bytes from `in` to `offset` of the frame's I420 bytes (y, then u, then v).
// The range must lie within frame.bytes().
void copyIntoFrame(I420Frame& frame, std::size_t offset, std::size_t length,
                   const std::uint8_t* in);

}  // namespace sim
}  // namespace velto
