// What one sender (the local user, uid 0, or a scripted user) plays instead of its synthetic
// tone and pattern: media pushed from the program while a push lasts, else the file its
// settings name. The files open when the call starts; one that cannot play is refused with one
// line on standard error naming the setting, and the sender keeps its tone or pattern. Made on
// the thread that joins; then each is used by its producer's thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "simengine/I420Frame.h"
#include "simengine/WavSource.h"
#include "simengine/Y4mSource.h"

namespace velto {
namespace sim {

class SenderAudio {
  public:
    // `file` empty: none. `setting` names it in the refusal ("sim.audio.file").
    SenderAudio(std::uint32_t uid, const std::string& file, bool loop, const std::string& setting);

    // Writes the sender's next 10 ms in (rate, channels) to `out`; false when it plays its tone.
    bool read(std::int16_t* out, int samples, int channels, int rate);

  private:
    const std::uint32_t uid_;
    std::unique_ptr<WavSource> file_;
};

class SenderVideo {
  public:
    SenderVideo(std::uint32_t uid, const std::string& file, bool loop, const std::string& setting);

    // Fills `frame` with the sender's next frame, in its own size; false when it draws its
    // pattern.
    bool next(I420Frame& frame);
    // The file's frame rate, or `otherwise` when there is no file or a push lasts.
    int fps(int otherwise) const;

  private:
    const std::uint32_t uid_;
    std::unique_ptr<Y4mSource> file_;
};

}  // namespace sim
}  // namespace velto
