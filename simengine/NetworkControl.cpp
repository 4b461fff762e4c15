#include "simengine/NetworkControl.h"

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "simengine/ChannelNetwork.h"
#include "simengine/Library.h"
#include "simengine/LiveCall.h"
#include "simengine/NetworkFolder.h"

using namespace velto::sim;

namespace {

double cpuNs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Counts what one member receives, for the benchmark.
class CountingListener : public ChannelListener {
  public:
    void peerJoined(std::uint32_t) override { bump(joined_); }
    void peerLeft(std::uint32_t, int) override {}
    void peerAudio(std::uint32_t, const WireAudioFrame&) override {}
    void peerVideo(std::uint32_t, I420Frame&, std::uint32_t, std::uint64_t) override {
        bump(frames_);
    }

    // Waits until `counter` reaches `target`; false after `timeoutMs`.
    bool awaitFrames(int target, int timeoutMs) { return await(frames_, target, timeoutMs); }
    bool awaitJoined(int target, int timeoutMs) { return await(joined_, target, timeoutMs); }

  private:
    void bump(int& counter) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counter;
        changed_.notify_all();
    }
    bool await(int& counter, int target, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return counter >= target; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int joined_ = 0;
    int frames_ = 0;
};

}  // namespace

extern "C" {

size_t vsim_network_json(char* buf, size_t cap) {
    const std::shared_ptr<EngineState> engine = library().route(0).engine;
    const std::shared_ptr<LiveCall> call = engine == nullptr ? nullptr : engine->call();
    const std::string json =
        call == nullptr || call->network() == nullptr ? "null" : call->network()->json();
    if (buf != nullptr && cap > json.size()) {
        std::memcpy(buf, json.c_str(), json.size() + 1);
    }
    return json.size();
}

int vsim_transport_bench(const char* dir, int width, int height, int frames, double* out4) {
    std::string error;
    if (dir == nullptr || out4 == nullptr || width < 2 || height < 2 || frames < 1 ||
        !prepareFolder(dir, error)) {
        return -1;
    }
    const std::string channel = "transport-bench";
    ChannelNetwork::OpenResult result = ChannelNetwork::OpenResult::kFailed;
    auto receiver = ChannelNetwork::open(dir, channel, 1, {}, result, error);
    if (receiver == nullptr) {
        return -1;
    }
    auto received = std::make_shared<CountingListener>();
    receiver->start(received);
    auto sender = ChannelNetwork::open(dir, channel, 2, {}, result, error);
    if (sender == nullptr) {
        receiver->leave();
        return -1;
    }
    auto senderEvents = std::make_shared<CountingListener>();
    sender->start(senderEvents);
    if (!received->awaitJoined(1, 5000) || !senderEvents->awaitJoined(1, 5000)) {
        sender->leave();
        receiver->leave();
        return -1;
    }
    auto frame = std::make_shared<I420Frame>();
    frame->resize(width & ~1, height & ~1);
    std::memset(frame->y.data(), 0x55, frame->y.size());
    int arrived = 0;
    const double cpuStart = cpuNs();
    const auto wallStart = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        sender->sendVideo(frame);
        if (received->awaitFrames(arrived + 1, 2000)) {
            ++arrived;
        }
    }
    const double cpu = cpuNs() - cpuStart;
    const double wall =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - wallStart)
            .count();
    sender->leave();
    receiver->leave();

    std::vector<std::uint8_t> from(frame->bytes(), 0x33);
    std::vector<std::uint8_t> to(frame->bytes());
    const int copies = frames * 4;
    const double copyStart = cpuNs();
    for (int i = 0; i < copies; ++i) {
        from[static_cast<std::size_t>(i) % from.size()] = static_cast<std::uint8_t>(i);
        std::memcpy(to.data(), from.data(), from.size());
        // Keep the copy observable, so the compiler cannot drop it.
        asm volatile("" : : "r"(to.data()) : "memory");
    }
    const double copy = (cpuNs() - copyStart) / copies;
    out4[0] = cpu / frames;
    out4[1] = wall / frames;
    out4[2] = copy;
    out4[3] = arrived;
    return 0;
}

}  // extern "C"
