#pragma once
// What an Intel HEX file says, read without the project's gatherers: every sound record's data
// bytes at their full address (extended segment and linear address records applied), and what a
// sound file sends (the A image, the B lines), so a fuzz target can check that whatever the tools
// accept is sent exactly as the file says.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzzref {

struct Record {
    std::uint8_t type = 0;
    std::uint16_t offset = 0;
    std::vector<std::uint8_t> data;
};

inline int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One line as a record: a colon, hexadecimal pairs whose count field fits, a zero sum; trailing
// blanks and line ends allowed. nullopt for anything else.
inline std::optional<Record> readRecord(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const int high = nibble(line[i]), low = nibble(line[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    if (bytes[0] + 5u != bytes.size() || (sum & 0xFF) != 0) return std::nullopt;
    return Record{bytes[3], static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]),
                  std::vector<std::uint8_t>(bytes.begin() + 4, bytes.end() - 1)};
}

// Every value the file gives for each address (more than one: the file contradicts itself).
using Contents = std::map<std::uint32_t, std::vector<std::uint8_t>>;

inline Contents contentsOf(const std::vector<std::string>& lines) {
    Contents contents;
    std::uint32_t base = 0;
    for (const std::string& line : lines) {
        const auto record = readRecord(line);
        if (!record) continue;
        const auto& d = record->data;
        if (record->type == 2 && d.size() == 2) base = static_cast<std::uint32_t>(d[0] << 8 | d[1]) << 4;
        if (record->type == 4 && d.size() == 2) base = static_cast<std::uint32_t>(d[0] << 8 | d[1]) << 16;
        if (record->type != 0) continue;
        for (std::size_t i = 0; i < d.size(); ++i)
            contents[base + record->offset + static_cast<std::uint32_t>(i)].push_back(d[i]);
    }
    return contents;
}

// True when the file gives this byte, and no other, for the address.
inline bool says(const Contents& contents, std::uint32_t address, std::uint8_t value) {
    const auto at = contents.find(address);
    if (at == contents.end()) return false;
    for (std::uint8_t given : at->second)
        if (given != value) return false;
    return true;
}

// What a sound file sends, read under the whole-line and end-of-file rules: the file split after
// each line feed; lines holding nothing but their line end passed over; every other line a record;
// the end-of-file record present, with nothing but empty lines after it.
struct Sent {
    std::vector<std::uint8_t> image;  // A: the data of the data records from line 2 on, in file order
    std::vector<std::string> lines;   // B: every data record's line as it stands, line end included
};

// nullopt when the file breaks one of those rules.
inline std::optional<Sent> sentBy(std::string_view file) {
    Sent sent;
    bool ended = false;
    std::size_t lineNo = 0;
    while (!file.empty()) {
        const std::size_t feed = file.find('\n');
        const std::string_view line = file.substr(0, feed == std::string_view::npos ? file.size() : feed + 1);
        file.remove_prefix(line.size());
        ++lineNo;
        std::string_view body = line;
        if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
        while (!body.empty() && body.back() == '\r') body.remove_suffix(1);
        if (body.empty()) continue;
        const auto record = readRecord(body);
        if (!record || ended) return std::nullopt;
        ended = record->type == 1;
        if (record->type != 0 || record->data.empty()) continue;
        if (lineNo > 1) sent.image.insert(sent.image.end(), record->data.begin(), record->data.end());
        sent.lines.emplace_back(line);
    }
    if (!ended) return std::nullopt;
    return sent;
}

}  // namespace fuzzref
