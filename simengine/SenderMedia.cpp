#include "simengine/SenderMedia.h"

#include "simengine/PushQueue.h"
#include "simengine/SettingKeys.h"

namespace velto {
namespace sim {

namespace {

template <typename Source>
std::unique_ptr<Source> openFile(const std::string& file, bool loop, const std::string& setting,
                                 const char* instead) {
    if (file.empty()) {
        return nullptr;
    }
    std::string error;
    std::unique_ptr<Source> source = Source::open(file, loop, error);
    if (source == nullptr) {
        reportBadSetting("joinChannel",
                         setting + ": cannot play '" + file + "': " + error + "; " + instead);
    }
    return source;
}

}  // namespace

SenderAudio::SenderAudio(std::uint32_t uid, const std::string& file, bool loop,
                         const std::string& setting)
    : uid_(uid), file_(openFile<WavSource>(file, loop, setting, "playing the tone instead")) {}

bool SenderAudio::read(std::int16_t* out, int samples, int channels, int rate) {
    if (const std::shared_ptr<PushedAudio> pushed = pushedMedia().audio(uid_)) {
        pushed->take(out, samples, channels, rate);
        return true;
    }
    if (file_ != nullptr) {
        file_->read(out, samples, channels, rate);
        return true;
    }
    return false;
}

SenderVideo::SenderVideo(std::uint32_t uid, const std::string& file, bool loop,
                         const std::string& setting)
    : uid_(uid),
      file_(openFile<Y4mSource>(file, loop, setting, "showing the test pattern instead")) {}

bool SenderVideo::next(I420Frame& frame) {
    if (const std::shared_ptr<PushedVideo> pushed = pushedMedia().video(uid_)) {
        // Before the first frame arrives the sender shows its pattern.
        return pushed->take(frame);
    }
    if (file_ != nullptr) {
        file_->next(frame);
        return true;
    }
    return false;
}

int SenderVideo::fps(int otherwise) const {
    if (file_ == nullptr || pushedMedia().video(uid_) != nullptr) {
        return otherwise;
    }
    return file_->fps();
}

}  // namespace sim
}  // namespace velto
