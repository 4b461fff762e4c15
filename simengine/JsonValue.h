// A parsed JSON text: the initialisation text and engine parameters carry the simulation's
// settings as JSON. Plain values, no sharing; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace velto {
namespace sim {

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };

    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    // In text order; a repeated name keeps every occurrence, and member() finds the last.
    std::vector<std::pair<std::string, JsonValue>> members;

    // The last member called `name`, or nullptr (also for a value that is no object).
    const JsonValue* member(const std::string& name) const;
    // The value as an error message shows it: a short JSON rendering, cut when long.
    std::string describe() const;
};

// Parses `text` as one JSON value. On failure returns false and sets `error` to what is wrong
// and where ("expected ':' at offset 12").
bool parseJson(const std::string& text, JsonValue& out, std::string& error);

}  // namespace sim
}  // namespace velto
