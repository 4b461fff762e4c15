// Text helpers for the journal: repairing caller texts into valid UTF-8 and quoting them as JSON,
// both done by the JSON library (implemented in JsonValue.cpp). Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>

namespace velto {
namespace sim {

// Returns `bytes` as valid UTF-8: each ill-formed sequence becomes U+FFFD, so a caller's broken
// text can never break the journal.
std::string repairUtf8(const char* bytes, std::size_t length);

// Appends `text` (valid UTF-8) to `out` as a quoted JSON string.
void appendJsonString(std::string& out, const std::string& text);

}  // namespace sim
}  // namespace velto
