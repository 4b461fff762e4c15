#include "simengine/JsonText.h"

#include <nlohmann/json.hpp>

namespace velto {
namespace sim {

namespace {

// Quotes `text` as JSON; invalid UTF-8 becomes U+FFFD.
std::string quoted(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string repairUtf8(const char* bytes, std::size_t length) {
    const std::string text(bytes, length);
    std::string quotedText = quoted(text);
    if (quotedText.size() == length + 2 && quotedText.compare(1, length, text) == 0) {
        return text;  // valid and nothing to escape: the common case
    }
    // The library repairs while it writes; reading its output back gives the repaired text.
    return nlohmann::json::parse(quotedText).get<std::string>();
}

void appendJsonString(std::string& out, const std::string& text) {
    out += quoted(text);
}

}  // namespace sim
}  // namespace velto
