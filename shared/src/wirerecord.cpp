#include "conv/wirerecord.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <tuple>

#include "conv/hexfield.h"

namespace conv::wire {
namespace {

constexpr std::string_view kKindNames[] = {"run", "open", "out", "in", "drop", "end"};
constexpr std::string_view kOpenNames[] = {"opened", "absent", "refused"};

// A JSON string; bytes outside printable ASCII as \u00XX, one escape per byte, so any
// argument comes back byte for byte.
void appendString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            out += "\\u00" + hexByte(byte);
        } else {
            out += c;
        }
    }
    out += '"';
}

using Value = std::variant<std::string, std::int64_t>;

// A piece of the file quoted in a refusal: at most kQuoted characters of it.
constexpr std::size_t kQuoted = 40;
std::string quoted(std::string_view text) {
    if (text.size() <= kQuoted) return "\"" + std::string(text) + "\"";
    return "\"" + std::string(text.substr(0, kQuoted)) + "...\" (" + std::to_string(text.size()) + " characters)";
}

// A flat JSON object of strings and integers, as formatLine() writes them.
class ObjectReader {
public:
    explicit ObjectReader(std::string_view text) : text_(text) {}

    std::optional<std::string> read(std::map<std::string, Value, std::less<>>& fields) {
        skipBlanks();
        if (!take('{')) return "not a JSON object";
        skipBlanks();
        if (take('}')) return finish();
        for (;;) {
            skipBlanks();
            std::string key;
            if (auto error = readString(key)) return error;
            skipBlanks();
            if (!take(':')) return "':' missing after " + quoted(key);
            skipBlanks();
            Value value;
            if (pos_ < text_.size() && text_[pos_] == '"') {
                std::string s;
                if (auto error = readString(s)) return error;
                value = std::move(s);
            } else {
                std::int64_t number = 0;
                const char* begin = text_.data() + pos_;
                auto [end, ec] = std::from_chars(begin, text_.data() + text_.size(), number);
                if (ec != std::errc{}) return "value of " + quoted(key) + " is neither a string nor an integer";
                pos_ += static_cast<std::size_t>(end - begin);
                value = number;
            }
            if (!fields.emplace(key, std::move(value)).second) return quoted(key) + " given twice";
            skipBlanks();
            if (take('}')) return finish();
            if (!take(',')) return "',' or '}' expected";
        }
    }

private:
    std::optional<std::string> finish() {
        skipBlanks();
        if (pos_ != text_.size()) return "text after the object";
        return std::nullopt;
    }
    void skipBlanks() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r')) ++pos_;
    }
    bool take(char c) {
        if (pos_ >= text_.size() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    std::optional<std::string> readString(std::string& out) {
        if (!take('"')) return std::string("string expected");
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) break;
            const char e = text_[pos_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    const auto high = pos_ + 4 <= text_.size() ? parseHexByte(text_.substr(pos_, 2)) : std::nullopt;
                    const auto low = high ? parseHexByte(text_.substr(pos_ + 2, 2)) : std::nullopt;
                    if (!low || *high != 0) return std::string("escape \\u other than \\u00XX");
                    out += static_cast<char>(*low);
                    pos_ += 4;
                    break;
                }
                default:
                    return std::string("unknown escape \\") + e;
            }
        }
        return std::string("string not closed");
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

std::optional<std::vector<std::uint8_t>> bytesOf(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const auto b = parseHexByte(hex.substr(i, 2));
        if (!b) return std::nullopt;
        bytes.push_back(*b);
    }
    return bytes;
}

}  // namespace

std::string hexText(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) text += hexByte(b);
    return text;
}

std::string formatLine(const Event& e) {
    std::string line = "{\"ev\":\"";
    line += kKindNames[static_cast<int>(e.kind)];
    line += '"';
    switch (e.kind) {
        case Kind::Run:
            line += ",\"v\":" + std::to_string(kVersion) + ",\"pid\":" + std::to_string(e.pid) +
                    ",\"argc\":" + std::to_string(e.argc) + ",\"arg\":";
            appendString(line, e.arg);
            break;
        case Kind::Open:
            line += ",\"id\":\"" + identityText(e.vendorId, e.productId) + "\",\"result\":\"";
            line += kOpenNames[static_cast<int>(e.open)];
            line += '"';
            if (!e.port.empty()) {
                line += ",\"port\":";
                appendString(line, e.port);
            }
            if (!e.node.empty()) {
                line += ",\"node\":";
                appendString(line, e.node);
            }
            break;
        case Kind::Out:
        case Kind::In:
        case Kind::Drop:
            line += ",\"id\":\"" + identityText(e.vendorId, e.productId) + "\",\"n\":" + std::to_string(e.n);
            if (e.kind == Kind::In) line += ",\"wait\":" + std::to_string(e.waitMs);
            line += ",\"hex\":\"" + hexText(e.bytes) + "\"";
            break;
        case Kind::End:
            break;
    }
    return line + ",\"t\":" + std::to_string(e.t) + "}\n";
}

std::variant<Event, std::string> parseLine(std::string_view line) {
    std::map<std::string, Value, std::less<>> fields;
    if (auto error = ObjectReader(line).read(fields)) return *error;
    auto text = [&](std::string_view key) -> const std::string* {
        auto it = fields.find(key);
        return it == fields.end() ? nullptr : std::get_if<std::string>(&it->second);
    };
    auto number = [&](std::string_view key) -> std::optional<std::int64_t> {
        auto it = fields.find(key);
        if (it == fields.end() || !std::holds_alternative<std::int64_t>(it->second)) return std::nullopt;
        return std::get<std::int64_t>(it->second);
    };
    Event e;
    const std::string* kind = text("ev");
    if (kind == nullptr) return std::string("no \"ev\"");
    std::size_t k = 0;
    while (k < std::size(kKindNames) && kKindNames[k] != *kind) ++k;
    if (k == std::size(kKindNames)) return "unknown event " + quoted(*kind);
    e.kind = static_cast<Kind>(k);
    // Numbers replay adds or keeps in narrower types must be in range: refused here, not wrapped.
    const auto outOfRange = [&](std::string_view key, std::int64_t low,
                                std::int64_t high) -> std::optional<std::string> {
        const auto value = number(key);
        if (!value || (*value >= low && *value <= high)) return std::nullopt;
        return "\"" + std::string(key) + "\" " + std::to_string(*value) + " is out of range (" + std::to_string(low) +
               " to " + std::to_string(high) + ")";
    };
    const auto t = number("t");
    if (!t) return std::string("no time \"t\"");
    if (auto bad = outOfRange("t", 0, kMaxTime)) return *bad;
    e.t = *t;
    switch (e.kind) {
        case Kind::Run: {
            const auto version = number("v");
            if (!version || *version != kVersion) return "format version is not " + std::to_string(kVersion);
            const std::string* arg = text("arg");
            if (arg == nullptr) return std::string("run without \"arg\"");
            e.arg = *arg;
            if (auto bad = outOfRange("argc", 0, kMaxArgc)) return *bad;
            if (auto bad = outOfRange("pid", 0, kMaxPid)) return *bad;
            e.argc = static_cast<int>(number("argc").value_or(1));
            e.pid = static_cast<long>(number("pid").value_or(0));
            return e;
        }
        case Kind::End:
            return e;
        case Kind::Open:
        case Kind::Out:
        case Kind::In:
        case Kind::Drop:
            break;
    }
    const std::string* id = text("id");
    const auto ids = id != nullptr ? parseIdentityText(*id) : std::nullopt;
    if (!ids) return std::string("identity \"id\" is not vvvv:pppp");
    std::tie(e.vendorId, e.productId) = *ids;
    if (e.kind == Kind::Open) {
        const std::string* result = text("result");
        std::size_t r = 0;
        while (result != nullptr && r < std::size(kOpenNames) && kOpenNames[r] != *result) ++r;
        if (result == nullptr || r == std::size(kOpenNames)) return std::string("open without a known \"result\"");
        e.open = static_cast<OpenResult>(r);
        if (const std::string* port = text("port")) e.port = *port;
        if (const std::string* node = text("node")) e.node = *node;
        return e;
    }
    const auto n = number("n");
    const std::string* hex = text("hex");
    const auto bytes = hex ? bytesOf(*hex) : std::nullopt;
    if (!n) return std::string("report without a count \"n\"");
    if (auto bad = outOfRange("n", -1, 65536)) return *bad;
    if (!bytes) return std::string("report without hex bytes \"hex\"");
    if (bytes->size() > 65536)
        return "report of " + std::to_string(bytes->size()) + " bytes; none is longer than 65536";
    e.n = static_cast<int>(*n);
    e.bytes = *bytes;
    if (e.kind == Kind::In) {
        if (auto bad = outOfRange("wait", -1, kMaxWaitMs)) return *bad;
        e.waitMs = static_cast<int>(number("wait").value_or(-1));
    }
    if (e.kind != Kind::Out && static_cast<std::int64_t>(e.bytes.size()) != std::max<std::int64_t>(*n, 0))
        return std::string("\"n\" does not match the bytes read");
    return e;
}

}  // namespace conv::wire
