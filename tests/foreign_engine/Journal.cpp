#include "Journal.h"

namespace foreign {

namespace {
constexpr size_t kJournalCapacity = 32768;
SpinLock journalLock;
char journal[kJournalCapacity];
size_t journalLength = 0;
bool journalOverflowed = false;
const char kOverflow[] = "overflow\n";
}  // namespace

void journalAdd(const Text& line) {
    Locked lock(journalLock);
    const size_t length = line.length();
    // Room is kept for the overflow mark, so a lost line is always visible.
    if (journalOverflowed || line.overflowed() ||
        journalLength + length + 1 + sizeof kOverflow >= kJournalCapacity) {
        if (!journalOverflowed) {
            memcpy(journal + journalLength, kOverflow, sizeof kOverflow);
            journalLength += sizeof kOverflow - 1;
            journalOverflowed = true;
        }
        return;
    }
    memcpy(journal + journalLength, line.c_str(), length);
    journalLength += length;
    journal[journalLength++] = '\n';
    journal[journalLength] = 0;
}

void journalClear() {
    Locked lock(journalLock);
    journalLength = 0;
    journal[0] = 0;
    journalOverflowed = false;
}

const char* journalText() {
    return journal;
}

}  // namespace foreign
