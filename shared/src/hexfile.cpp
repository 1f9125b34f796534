#include "conv/hexfile.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "conv/checksum.h"
#include "conv/hexfield.h"

namespace conv {

namespace {
constexpr std::size_t kLineBuffer = 1024;  // the readers' fgets() buffer

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' ||
                             line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

HexError errorAt(std::size_t line, std::string what) { return HexError{line, std::move(what)}; }
}  // namespace

std::string HexError::message() const {
    if (line == 0) return what;
    return "line " + std::to_string(line) + ": " + what;
}

std::vector<std::string> splitHexLines(std::string_view content) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = pos;
        while (end < content.size() && end - pos < kLineBuffer - 1) {
            if (content[end++] == '\n') break;
        }
        lines.emplace_back(content.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

std::optional<std::vector<std::string>> readHexLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return splitHexLines(content.str());
}

std::optional<std::string> checkRecord(std::string_view line) {
    const std::string_view record = withoutLineEnd(line);
    if (record.empty() || record[0] != ':') return "record does not start with ':'";
    if (record.size() < 11) return "record is too short (" + std::to_string(record.size()) + " characters)";
    for (std::size_t i = 1; i < record.size(); ++i) {
        if (!isHexDigit(record[i])) {
            return "character " + std::to_string(i + 1) + " is not a hexadecimal digit";
        }
    }
    const std::size_t count = *parseHexByte(record.substr(1, 2));
    const std::size_t expected = 11 + 2 * count;
    if (record.size() != expected) {
        return "record of " + std::to_string(count) + " data bytes has " + std::to_string(record.size()) +
               " characters, expected " + std::to_string(expected);
    }
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i + 2 < record.size(); i += 2) sum += *parseHexByte(record.substr(i, 2));
    const std::uint8_t stated = *parseHexByte(record.substr(record.size() - 2));
    const auto wanted = static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
    if (stated != wanted) {
        return "checksum 0x" + hexByte(stated) + ", expected 0x" + hexByte(wanted);
    }
    return std::nullopt;
}

std::uint16_t AImage::checksum16() const {
    return static_cast<std::uint16_t>(checkSum(bytes) & 0xFFFF);
}

AImageResult gatherAImage(const std::vector<std::string>& lines) {
    AImageResult result;
    // The first line is skipped unseen: releases are built with that rule.
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const unsigned long count = HexStringToDec(std::string_view(line).substr(std::min<std::size_t>(1, line.size())), 2);
        const unsigned long type = HexStringToDec(std::string_view(line).substr(std::min<std::size_t>(7, line.size())), 2) & 0xFF;
        if (count != 16 && type != 0) break;
        if (auto bad = checkRecord(line)) {
            result.error = errorAt(i + 1, *bad);
            return result;
        }
        result.image.total += static_cast<std::uint32_t>(count);
        for (unsigned long b = 0; b < count; ++b) {
            result.image.bytes.push_back(*parseHexByte(std::string_view(line).substr(9 + 2 * b, 2)));
        }
        if (count < 16) break;
    }
    if (result.image.bytes.size() < kMinAImageBytes) {
        result.error = errorAt(0, "A image holds " + std::to_string(result.image.bytes.size()) +
                                      " bytes; at least " + std::to_string(kMinAImageBytes) + " are needed");
    }
    return result;
}

BLinesResult gatherBLines(const std::vector<std::string>& lines) {
    BLinesResult result;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.size() != kBLineLength) continue;
        if (auto bad = checkRecord(line)) {
            result.error = errorAt(i + 1, *bad);
            return result;
        }
        result.lines.push_back(line);
    }
    return result;
}

}  // namespace conv
