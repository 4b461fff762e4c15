#include "simengine/Journal.h"

#include <cstring>
#include <utility>

#include "simengine/JsonText.h"

namespace velto {
namespace sim {

Value textValue(const char* text) {
    if (text == nullptr) {
        return nullValue();
    }
    return Value{repairUtf8(text, std::strlen(text))};
}

Value boundedTextValue(const char* text, std::size_t capacity) {
    if (text == nullptr) {
        return nullValue();
    }
    const void* end = std::memchr(text, '\0', capacity);
    const std::size_t length =
        end == nullptr ? capacity : static_cast<std::size_t>(static_cast<const char*>(end) - text);
    return Value{repairUtf8(text, length)};
}

std::uint64_t Journal::record(int engine, std::string call, Args args, std::optional<int> result) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t number = nextNumber_++;
    entries_.push_back(Entry{number, engine, std::move(call), std::move(args), result});
    return number;
}

void Journal::complete(std::uint64_t entryNumber, int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The entry is recent, so search from the back.
    for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
        if (it->number == entryNumber) {
            it->result = result;
            return;
        }
        if (it->number < entryNumber) {
            return;
        }
    }
}

void Journal::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

namespace {

struct ValueWriter {
    std::string& out;
    void operator()(std::monostate) const { out += "null"; }
    void operator()(bool v) const { out += v ? "true" : "false"; }
    void operator()(std::int64_t v) const { out += std::to_string(v); }
    void operator()(std::uint64_t v) const { out += std::to_string(v); }
    void operator()(const std::string& v) const { appendJsonString(out, v); }
};

}  // namespace

std::string Journal::toJson() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out = "[";
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        if (i > 0) {
            out += ",\n";
        }
        out += "{\"engine\":" + std::to_string(entry.engine) + ",\"call\":";
        appendJsonString(out, entry.call);
        out += ",\"args\":{";
        for (std::size_t a = 0; a < entry.args.size(); ++a) {
            if (a > 0) {
                out += ',';
            }
            appendJsonString(out, entry.args[a].key);
            out += ':';
            std::visit(ValueWriter{out}, entry.args[a].value);
        }
        out += "},\"result\":";
        out += entry.result ? std::to_string(*entry.result) : "null";
        out += '}';
    }
    out += ']';
    return out;
}

Journal& journal() {
    // Never destroyed: detached engine threads may still append while the process exits.
    static Journal* const instance = new Journal;
    return *instance;
}

}  // namespace sim
}  // namespace velto
