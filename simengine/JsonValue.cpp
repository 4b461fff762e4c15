#include "simengine/JsonValue.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include <nlohmann/json.hpp>

#include "simengine/JsonText.h"

namespace velto {
namespace sim {

namespace {

// Nesting deeper than this is refused, so a hostile text cannot build a tree whose destruction
// exhausts the stack.
constexpr std::size_t kMaxDepth = 64;

// Builds a JsonValue from the library's parse events. Unlike the library's own document type it
// keeps every occurrence of a repeated member, in text order, as the settings readers expect.
class TreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
  public:
    bool null() override { return leaf(JsonValue{}); }
    bool boolean(bool value) override {
        JsonValue v;
        v.kind = JsonValue::Kind::Bool;
        v.boolean = value;
        return leaf(std::move(v));
    }
    bool number_integer(number_integer_t value) override {
        return number(static_cast<double>(value));
    }
    bool number_unsigned(number_unsigned_t value) override {
        return number(static_cast<double>(value));
    }
    bool number_float(number_float_t value, const string_t&) override { return number(value); }
    bool string(string_t& value) override {
        JsonValue v;
        v.kind = JsonValue::Kind::String;
        v.text = std::move(value);
        return leaf(std::move(v));
    }
    bool binary(binary_t&) override { return fail("binary values are not JSON"); }
    bool start_object(std::size_t) override { return open(JsonValue::Kind::Object); }
    bool key(string_t& name) override {
        keys_.push_back(std::move(name));
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JsonValue::Kind::Array); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception& problem) override {
        // The library's text reads "[json.exception.parse_error.101] parse error at line 1,
        // column 5: <what>"; the offset replaces the line and column.
        std::string what = problem.what();
        const std::size_t colon = what.find(": ");
        if (colon != std::string::npos) {
            what.erase(0, colon + 2);
        }
        return fail(what + " at offset " + std::to_string(position == 0 ? 0 : position - 1));
    }

    JsonValue& result() { return root_; }
    const std::string& error() const { return error_; }

  private:
    bool fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what;
        }
        return false;
    }

    bool number(double value) {
        JsonValue v;
        v.kind = JsonValue::Kind::Number;
        v.number = value;
        return leaf(std::move(v));
    }

    // Places a finished value in the container being read, or makes it the document.
    bool leaf(JsonValue value) {
        if (open_.empty()) {
            root_ = std::move(value);
        } else if (open_.back().kind == JsonValue::Kind::Object) {
            open_.back().members.emplace_back(std::move(keys_.back()), std::move(value));
            keys_.pop_back();
        } else {
            open_.back().items.push_back(std::move(value));
        }
        return true;
    }

    bool open(JsonValue::Kind kind) {
        if (open_.size() >= kMaxDepth) {
            return fail("nesting too deep");
        }
        open_.emplace_back();
        open_.back().kind = kind;
        return true;
    }

    bool close() {
        JsonValue done = std::move(open_.back());
        open_.pop_back();
        return leaf(std::move(done));
    }

    JsonValue root_;
    std::vector<JsonValue> open_;    // containers being read, outermost first
    std::vector<std::string> keys_;  // the pending member name of each open object
    std::string error_;
};

// The value in the library's document type, for rendering; a repeated member shows once.
nlohmann::ordered_json toLibrary(const JsonValue& value) {
    switch (value.kind) {
        case JsonValue::Kind::Null:
            return nullptr;
        case JsonValue::Kind::Bool:
            return value.boolean;
        case JsonValue::Kind::Number:
            // Whole numbers print without a fraction, as they were most likely written.
            if (std::floor(value.number) == value.number && std::fabs(value.number) < 9.0e15) {
                return static_cast<std::int64_t>(value.number);
            }
            return value.number;
        case JsonValue::Kind::String:
            return value.text;
        case JsonValue::Kind::Array: {
            nlohmann::ordered_json out = nlohmann::ordered_json::array();
            for (const JsonValue& item : value.items) {
                out.push_back(toLibrary(item));
            }
            return out;
        }
        case JsonValue::Kind::Object: {
            nlohmann::ordered_json out = nlohmann::ordered_json::object();
            for (const auto& member : value.members) {
                out[member.first] = toLibrary(member.second);
            }
            return out;
        }
    }
    return nullptr;
}

}  // namespace

const JsonValue* JsonValue::member(const std::string& name) const {
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (it->first == name) {
            return &it->second;
        }
    }
    return nullptr;
}

std::string JsonValue::describe() const {
    constexpr std::size_t kLimit = 60;
    std::string out =
        toLibrary(*this).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    if (out.size() > kLimit) {
        std::size_t cut = kLimit;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) {
            --cut;  // not inside a UTF-8 sequence
        }
        out.resize(cut);
        out += "...";
    }
    return out;
}

// The JsonText.h helpers live here too: every file that includes the library's header pays
// about 4.5 s of compile time for it, so one translation unit includes it.

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

bool parseJson(const std::string& text, JsonValue& out, std::string& error) {
    out = JsonValue{};
    // Invalid bytes become U+FFFD first, as everywhere in the journal, instead of failing.
    const std::string repaired = repairUtf8(text.data(), text.size());
    TreeBuilder builder;
    if (!nlohmann::json::sax_parse(repaired, &builder)) {
        error = builder.error().empty() ? "malformed" : builder.error();
        return false;
    }
    out = std::move(builder.result());
    return true;
}

}  // namespace sim
}  // namespace velto
