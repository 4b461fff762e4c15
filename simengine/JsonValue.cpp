#include "simengine/JsonValue.h"

#include <cmath>
#include <cstdio>

#include "simengine/JsonText.h"

namespace velto {
namespace sim {

namespace {

// Nesting deeper than this is refused, so a hostile text cannot exhaust the stack.
constexpr int kMaxDepth = 64;

class Parser {
  public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool parseDocument(JsonValue& out, std::string& error) {
        skipSpace();
        if (!parseValue(out, 0)) {
            error = error_;
            return false;
        }
        skipSpace();
        if (pos_ != text_.size()) {
            fail("unexpected text after the value");
            error = error_;
            return false;
        }
        return true;
    }

  private:
    bool fail(const std::string& what) {
        if (error_.empty()) {
            error_ = what + " at offset " + std::to_string(pos_);
        }
        return false;
    }

    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }

    void skipSpace() {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++pos_;
        }
    }

    bool literal(const char* word) {
        for (std::size_t i = 0; word[i] != '\0'; ++i) {
            if (pos_ + i >= text_.size() || text_[pos_ + i] != word[i]) {
                return fail(std::string("expected '") + word + "'");
            }
        }
        pos_ += std::char_traits<char>::length(word);
        return true;
    }

    bool parseValue(JsonValue& out, int depth) {
        if (depth > kMaxDepth) {
            return fail("nesting too deep");
        }
        switch (peek()) {
            case '{':
                return parseObject(out, depth);
            case '[':
                return parseArray(out, depth);
            case '"':
                out.kind = JsonValue::Kind::String;
                return parseString(out.text);
            case 't':
                out.kind = JsonValue::Kind::Bool;
                out.boolean = true;
                return literal("true");
            case 'f':
                out.kind = JsonValue::Kind::Bool;
                out.boolean = false;
                return literal("false");
            case 'n':
                out.kind = JsonValue::Kind::Null;
                return literal("null");
            default:
                if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
                    out.kind = JsonValue::Kind::Number;
                    return parseNumber(out.number);
                }
                return fail(atEnd() ? "unexpected end of text" : "unexpected character");
        }
    }

    bool parseObject(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Object;
        ++pos_;  // '{'
        skipSpace();
        if (peek() == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (peek() != '"') {
                return fail("expected a member name");
            }
            std::string name;
            if (!parseString(name)) {
                return false;
            }
            skipSpace();
            if (peek() != ':') {
                return fail("expected ':'");
            }
            ++pos_;
            skipSpace();
            JsonValue value;
            if (!parseValue(value, depth + 1)) {
                return false;
            }
            out.members.emplace_back(std::move(name), std::move(value));
            skipSpace();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool parseArray(JsonValue& out, int depth) {
        out.kind = JsonValue::Kind::Array;
        ++pos_;  // '['
        skipSpace();
        if (peek() == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            skipSpace();
            JsonValue value;
            if (!parseValue(value, depth + 1)) {
                return false;
            }
            out.items.push_back(std::move(value));
            skipSpace();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(unsigned& value) {
        value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = peek();
            unsigned digit = 0;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return fail("expected four hex digits");
            }
            value = value * 16 + digit;
            ++pos_;
        }
        return true;
    }

    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool parseEscape(std::string& out) {
        const char c = peek();
        ++pos_;
        switch (c) {
            case '"':
            case '\\':
            case '/':
                out += c;
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u': {
                unsigned code = 0;
                if (!hex4(code)) {
                    return false;
                }
                // A lone surrogate becomes U+FFFD, as everywhere else in the journal.
                if (code >= 0xD800 && code <= 0xDBFF && text_.compare(pos_, 2, "\\u") == 0) {
                    const std::size_t save = pos_;
                    pos_ += 2;
                    unsigned low = 0;
                    if (hex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
                        appendUtf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
                        return true;
                    }
                    error_.clear();
                    pos_ = save;
                }
                appendUtf8(out, code >= 0xD800 && code <= 0xDFFF ? 0xFFFD : code);
                return true;
            }
            default:
                --pos_;
                return fail("unknown escape");
        }
    }

    bool parseString(std::string& out) {
        ++pos_;  // opening quote
        std::size_t start = pos_;
        for (;;) {
            if (atEnd()) {
                return fail("unterminated string");
            }
            const char c = text_[pos_];
            if (c == '"') {
                out += repairUtf8(text_.data() + start, pos_ - start);
                ++pos_;
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail("control character in string");
            }
            if (c == '\\') {
                out += repairUtf8(text_.data() + start, pos_ - start);
                ++pos_;
                if (!parseEscape(out)) {
                    return false;
                }
                start = pos_;
                continue;
            }
            ++pos_;
        }
    }

    // Digits are accumulated by hand: strtod would follow the process's numeric locale.
    bool parseNumber(double& out) {
        bool negative = false;
        if (peek() == '-') {
            negative = true;
            ++pos_;
        }
        if (!(peek() >= '0' && peek() <= '9')) {
            return fail("expected a digit");
        }
        double value = 0;
        if (peek() == '0') {
            ++pos_;
        } else {
            while (peek() >= '0' && peek() <= '9') {
                value = value * 10 + (peek() - '0');
                ++pos_;
            }
        }
        int exponent = 0;
        if (peek() == '.') {
            ++pos_;
            if (!(peek() >= '0' && peek() <= '9')) {
                return fail("expected a digit after '.'");
            }
            while (peek() >= '0' && peek() <= '9') {
                value = value * 10 + (peek() - '0');
                --exponent;
                ++pos_;
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            bool negativeExponent = false;
            if (peek() == '+' || peek() == '-') {
                negativeExponent = peek() == '-';
                ++pos_;
            }
            if (!(peek() >= '0' && peek() <= '9')) {
                return fail("expected a digit in the exponent");
            }
            int written = 0;
            while (peek() >= '0' && peek() <= '9') {
                if (written < 10000) {
                    written = written * 10 + (peek() - '0');
                }
                ++pos_;
            }
            exponent += negativeExponent ? -written : written;
        }
        out = value * std::pow(10.0, exponent);
        if (negative) {
            out = -out;
        }
        return true;
    }

    const std::string& text_;
    std::size_t pos_ = 0;
    std::string error_;
};

void describeInto(const JsonValue& value, std::string& out, std::size_t limit) {
    if (out.size() > limit) {
        return;
    }
    switch (value.kind) {
        case JsonValue::Kind::Null:
            out += "null";
            break;
        case JsonValue::Kind::Bool:
            out += value.boolean ? "true" : "false";
            break;
        case JsonValue::Kind::Number: {
            char number[32];
            std::snprintf(number, sizeof number, "%.10g", value.number);
            out += number;
            break;
        }
        case JsonValue::Kind::String:
            appendJsonString(out, value.text);
            break;
        case JsonValue::Kind::Array:
            out += '[';
            for (std::size_t i = 0; i < value.items.size(); ++i) {
                if (i > 0) {
                    out += ',';
                }
                describeInto(value.items[i], out, limit);
            }
            out += ']';
            break;
        case JsonValue::Kind::Object:
            out += '{';
            for (std::size_t i = 0; i < value.members.size(); ++i) {
                if (i > 0) {
                    out += ',';
                }
                appendJsonString(out, value.members[i].first);
                out += ':';
                describeInto(value.members[i].second, out, limit);
            }
            out += '}';
            break;
    }
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
    std::string out;
    describeInto(*this, out, kLimit);
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

bool parseJson(const std::string& text, JsonValue& out, std::string& error) {
    out = JsonValue{};
    return Parser(text).parseDocument(out, error);
}

}  // namespace sim
}  // namespace velto
