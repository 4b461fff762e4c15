// The messages peers of a channel exchange, one per socket message: the sender's greeting, its
// goodbye, a 10 ms audio frame, or one piece of a video frame (frames larger than a piece are
// sent as consecutive pieces of one sequence number). Media normally travel through shared
// memory instead (ChannelRing.h): a ring message passes the sender's ring once, with its
// descriptor, and each frame is then a slot message naming the slot that holds it; the receiver
// answers a released message when the sender asked to hear of a slot freed. A sender that cannot
// make a ring sends inline as above, and readers accept both. Encoding is for the sending threads;
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
constexpr std::uint8_t kWireVersion = 2;          // 2: payloads in shared memory

enum class WireKind : std::uint8_t {
    kHello = 1,
    kBye = 2,
    kAudio = 3,
    kVideo = 4,
    kRing = 5,       // WireRing, and the ring's descriptor with the message
    kAudioSlot = 6,  // WireAudioSlot: an audio frame in a slot of the sender's audio ring
    kVideoSlot = 7,  // WireVideoSlot: a video frame in a slot of the sender's video ring
    kReleased = 8,   // WireReleased: a slot of the receiver's ring of that stream was freed
};

// Which of a sender's two rings a message is about.
enum class WireStream : std::uint32_t {
    kAudio = 1,
    kVideo = 2,
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

struct WireRing {
    std::uint32_t stream;     // WireStream
    std::uint32_t slots;      // 1..kMaxRingSlots
    std::uint64_t slotBytes;  // the ring is kRingControlBytes, then `slots` slots of this size
};
static_assert(sizeof(WireRing) == 16, "WireRing layout");

struct WireAudioSlot {
    std::int32_t sampleRate;  // as WireAudio; the samples are at the start of the slot
    std::int32_t channels;
    std::int32_t samples;
    std::uint32_t slot;
};
static_assert(sizeof(WireAudioSlot) == 16, "WireAudioSlot layout");

struct WireVideoSlot {
    std::int32_t width;  // as WireVideo; the I420 bytes are at the start of the slot
    std::int32_t height;
    std::uint32_t slot;
    std::uint32_t length;  // width * height * 3 / 2
};
static_assert(sizeof(WireVideoSlot) == 16, "WireVideoSlot layout");

struct WireReleased {
    std::uint32_t stream;  // WireStream of the receiver's ring
    std::uint32_t reserved;
};
static_assert(sizeof(WireReleased) == 8, "WireReleased layout");

// A ring's geometry: a control area (large enough to keep the slots page-aligned on any page
// size), then the slots. A ring larger than kMaxRingBytes is refused, so one link maps at most
// two of them (ChannelNetwork bounds all links together).
constexpr std::size_t kRingControlBytes = 64 * 1024;
constexpr std::uint32_t kMaxRingSlots = 64;
constexpr std::uint64_t kMaxRingBytes = 64ull << 20;

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

std::vector<std::uint8_t> encodeRing(std::uint32_t uid, WireStream stream, std::uint32_t slots,
                                     std::uint64_t slotBytes);
std::vector<std::uint8_t> encodeReleased(std::uint32_t uid, WireStream stream);
// Header and fields of a frame written to `slot`; messages of at most kSlotMessageBytes.
constexpr std::size_t kSlotMessageBytes = sizeof(WireHeader) + 16;
void encodeAudioSlot(std::uint8_t* out, std::uint32_t uid, std::uint32_t sequence,
                     std::uint64_t sentNs, int sampleRate, int channels, int samples,
                     std::uint32_t slot);
void encodeVideoSlot(std::uint8_t* out, std::uint32_t uid, std::uint32_t sequence,
                     std::uint64_t sentNs, int width, int height, std::uint32_t slot,
                     std::uint32_t length);

// What one received message was.
enum class WireEvent {
    kNothing,  // a piece of a video frame still incomplete
    kHello,    // hello() holds the sender's uid, pid and channel
    kBye,
    kAudio,      // audio() holds the frame
    kVideo,      // takeVideo() gives the complete frame
    kRing,       // ring() holds the ring's fields; the descriptor came with the message
    kAudioSlot,  // audio() holds all but the samples, audioSlot() their slot and bytes
    kVideoSlot,  // videoSlot() holds the frame's fields
    kReleased,   // released() names the stream
    kRefused,    // malformed, truncated, oversized, foreign or out of order: dropped
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

struct WireSlot {
    std::uint32_t slot = 0;
    std::size_t length = 0;  // bytes of the frame at the start of the slot
    int width = 0;           // video
    int height = 0;
    std::uint32_t sequence = 0;
    std::uint64_t sentNs = 0;
};

// Reads one connection's messages in order. Before a hello only a hello is accepted; after it,
// only messages carrying the uid it named.
class WireReader {
  public:
    // `truncated`: the message was longer than the buffer it was read into. `descriptors`: how
    // many came with it; only a ring message carries one, exactly.
    WireEvent read(const std::uint8_t* data, std::size_t length, bool truncated,
                   int descriptors = 0);

    bool greeted() const { return greeted_; }
    const WirePeer& peer() const { return peer_; }
    const WireAudioFrame& audio() const { return audio_; }
    // kAudioSlot: the frame's fields are in audio(), its samples still in the ring; the caller
    // copies them into `pcm` (sized here) and may then hand audio() on.
    const WireSlot& audioSlot() const { return audioSlot_; }
    std::vector<std::int16_t>& audioSamples() { return audio_.pcm; }
    const WireSlot& videoSlot() const { return videoSlot_; }
    const WireRing& ring() const { return ring_; }
    WireStream released() const { return released_; }
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
    WireEvent readRing(const std::uint8_t* body, std::size_t length);
    WireEvent readAudioSlot(const WireHeader& header, const std::uint8_t* body, std::size_t length);
    WireEvent readVideoSlot(const WireHeader& header, const std::uint8_t* body, std::size_t length);
    WireEvent readReleased(const std::uint8_t* body, std::size_t length);

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
    WireSlot audioSlot_;
    WireSlot videoSlot_;
    WireRing ring_{};
    WireStream released_ = WireStream::kAudio;
};

// Copies `length` bytes from `in` to `offset` of the frame's I420 bytes (y, then u, then v).
// The range must lie within frame.bytes().
void copyIntoFrame(I420Frame& frame, std::size_t offset, std::size_t length,
                   const std::uint8_t* in);

}  // namespace sim
}  // namespace velto
