// The engine's record of what reached it: every call the module made on the engine and its
// sub-interfaces, and every frame it delivered with checksums of the bytes it sent and of the
// bytes it found after the observer returned. The test reads it through foreignEngineJournal.
//
// Any thread: interpreter threads (engine calls) and the engine's call threads both add lines.
#pragma once

#include "Freestanding.h"

namespace foreign {

constexpr size_t kLineCapacity = 512;

// A line being built on the caller's stack; added whole by journalAdd.
class JournalLine : public Text {
  public:
    JournalLine() : Text(buffer_, sizeof buffer_) {}

  private:
    char buffer_[kLineCapacity];
};

void journalAdd(const Text& line);
void journalClear();
// The lines so far, each ended by '\n'; a journal that ran out of room ends with "overflow".
const char* journalText();

}  // namespace foreign
