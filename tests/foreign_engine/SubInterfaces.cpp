#include "SubInterfaces.h"

#include "Journal.h"

namespace foreign {

namespace {

using velto::media::IAudioFrameObserver;
using velto::media::IVideoFrameObserver;

int outstanding = 0;  // interpreter threads only, under the GIL the module holds
IAudioFrameObserver* audioObserver = nullptr;
IVideoFrameObserver* videoObserver = nullptr;

void releaseOne(int id) {
    --outstanding;
    JournalLine line;
    line.add("releaseSubInterface id=").add(id);
    journalAdd(line);
}

class PlainSubInterface final : public velto::rtc::ISubInterface {
  public:
    constexpr explicit PlainSubInterface(int id) : id_(id) {}
    void release() override { releaseOne(id_); }

  private:
    int id_;
};

// The one text resolvePath hands out; resolving again overwrites it, as only one is used at a
// time by the module.
class ResolvedPath final : public velto::rtc::SdkString {
  public:
    const char* c_str() override { return text_; }
    void release() override {
        JournalLine line;
        line.add("releaseString");
        journalAdd(line);
    }
    void set(const char* path) {
        Text text(text_, sizeof text_);
        text.add("C:\\foreign\\logs\\").add(path);
    }

  private:
    char text_[kLineCapacity] = {};
};

class Parameters final : public velto::rtc::EngineParameters {
  public:
    void release() override { releaseOne(velto::rtc::kEngineParameters); }
    int setBoolParameter(const char* key, bool value) override {
        JournalLine line;
        line.add("setBoolParameter key=").add(key).add(" value=").add(value ? 1 : 0);
        journalAdd(line);
        return 0;
    }
    int setStringParameter(const char* key, const char* value) override {
        JournalLine line;
        line.add("setStringParameter key=").add(key).add(" value=").add(value);
        journalAdd(line);
        return 0;
    }
    int setParameters(const char* json) override {
        JournalLine line;
        line.add("setParameters json=").add(json);
        journalAdd(line);
        return 0;
    }
    int resolvePath(const char* path, velto::rtc::SdkString** out) override {
        JournalLine line;
        line.add("resolvePath path=").add(path);
        journalAdd(line);
        if (out == nullptr) {
            return -2;
        }
        resolved_.set(path);
        *out = &resolved_;
        return 0;
    }

  private:
    ResolvedPath resolved_;
};

class Registry final : public velto::rtc::ObserverRegistry {
  public:
    void release() override { releaseOne(velto::rtc::kObserverRegistry); }
    int attachAudioObserver(IAudioFrameObserver* observer) override {
        __atomic_store_n(&audioObserver, observer, __ATOMIC_RELEASE);
        journalAttach("attachAudioObserver", observer != nullptr);
        return 0;
    }
    int attachVideoObserver(IVideoFrameObserver* observer) override {
        __atomic_store_n(&videoObserver, observer, __ATOMIC_RELEASE);
        journalAttach("attachVideoObserver", observer != nullptr);
        return 0;
    }

  private:
    static void journalAttach(const char* name, bool given) {
        JournalLine line;
        line.add(name).add(" given=").add(given ? 1 : 0);
        journalAdd(line);
    }
};

// Constant-initialised: no C runtime runs constructors in this library.
[[clang::require_constant_initialization]] PlainSubInterface subInterface1(1);
[[clang::require_constant_initialization]] PlainSubInterface subInterface2(2);
[[clang::require_constant_initialization]] Parameters parameters;
[[clang::require_constant_initialization]] Registry registry;

}  // namespace

void* handOutSubInterface(int id) {
    velto::rtc::ISubInterface* handed = nullptr;
    switch (id) {
        case 1:
            handed = &subInterface1;
            break;
        case 2:
            handed = &subInterface2;
            break;
        case velto::rtc::kEngineParameters:
            // Converted to the interface the id names before it becomes void*: the module
            // converts the pointer straight back to that interface.
            ++outstanding;
            return static_cast<velto::rtc::EngineParameters*>(&parameters);
        case velto::rtc::kObserverRegistry:
            ++outstanding;
            return static_cast<velto::rtc::ObserverRegistry*>(&registry);
        default:
            return nullptr;
    }
    ++outstanding;
    return handed;
}

int outstandingSubInterfaces() {
    return outstanding;
}

IAudioFrameObserver* attachedAudioObserver() {
    return __atomic_load_n(&audioObserver, __ATOMIC_ACQUIRE);
}

IVideoFrameObserver* attachedVideoObserver() {
    return __atomic_load_n(&videoObserver, __ATOMIC_ACQUIRE);
}

void detachObservers() {
    __atomic_store_n(&audioObserver, nullptr, __ATOMIC_RELEASE);
    __atomic_store_n(&videoObserver, nullptr, __ATOMIC_RELEASE);
}

}  // namespace foreign
