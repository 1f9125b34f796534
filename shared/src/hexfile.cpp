#include "conv/hexfile.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_map>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/packets.h"

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

namespace {

// Count and type fields as the gatherer reads them, also from lines that are not records.
unsigned long countField(std::string_view line) { return HexStringToDec(line.substr(std::min<std::size_t>(1, line.size())), 2); }
unsigned long typeField(std::string_view line) {
    return HexStringToDec(line.substr(std::min<std::size_t>(7, line.size())), 2) & 0xFF;
}

// A record type's own byte count; nullopt for a data record (any count) or an unknown type.
std::optional<unsigned long> fixedCount(unsigned long type) {
    switch (type) {
        case kRecordEnd: return 0;
        case kRecordSegment: case kRecordLinear: return 2;
        case kRecordSegmentStart: case kRecordLinearStart: return 4;
        default: return std::nullopt;
    }
}

// Why a sound record's count does not fit its type; nullopt when it does.
std::optional<std::string> countMisfit(unsigned long type, unsigned long count) {
    if (type == kRecordData) return std::nullopt;
    const auto fixed = fixedCount(type);
    if (!fixed) return "record type 0x" + hexByte(static_cast<std::uint8_t>(type)) + " is not an Intel HEX record type";
    if (count == *fixed) return std::nullopt;
    return "record of type 0x" + hexByte(static_cast<std::uint8_t>(type)) + " holds " + std::to_string(count) +
           " bytes, its type holds " + std::to_string(*fixed);
}

// A line that holds firmware bytes: a colon, a non-zero count and type 00.
bool isDataLine(std::string_view line) {
    return line.size() >= 9 && line[0] == ':' && line.substr(7, 2) == "00" && isHexDigits(line.substr(1, 2)) &&
           line.substr(1, 2) != "00";
}

std::string hexAddress(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", address);
    return text;
}

// Byte `index` of a validated record's data.
std::uint8_t dataByte(std::string_view line, std::size_t index) { return parseHexByte(line.substr(9 + 2 * index, 2)).value_or(0); }

// The base address an address record sets (types 02 and 04; 0 for any other record).
std::uint32_t baseAddress(std::string_view line, unsigned long type) {
    const std::uint32_t value = (std::uint32_t{dataByte(line, 0)} << 8) | dataByte(line, 1);
    if (type == kRecordSegment) return value << 4;
    if (type == kRecordLinear) return value << 16;
    return 0;
}

// Line 1 is never sent: it must be no data record, and an address record there sets the base.
std::optional<HexError> readFirstLine(std::string_view line, std::uint32_t& base) {
    if (line.empty() || line[0] != ':') return std::nullopt;
    if (auto bad = checkRecord(line)) return errorAt(1, *bad);
    const unsigned long type = typeField(line);
    if (type == kRecordData) {
        return errorAt(1, "a data record on the first line would never be sent; the file must start with an address "
                          "record (:020000040000FA)");
    }
    if (auto misfit = countMisfit(type, countField(line))) return errorAt(1, *misfit);
    base = baseAddress(line, type);
    return std::nullopt;
}

}  // namespace

AImageResult gatherAImage(const std::vector<std::string>& lines) {
    AImageResult result;
    std::uint32_t base = 0;
    if (!lines.empty()) {
        if (auto bad = readFirstLine(lines[0], base)) {
            result.error = bad;
            return result;
        }
    }
    std::size_t next = lines.size();  // first line not taken
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const unsigned long count = countField(line);
        const unsigned long type = typeField(line);
        if (count != 16 && type != kRecordData) {
            // Where reading stops; a sound record there must still be a well-formed one.
            if (!checkRecord(line)) {
                if (auto misfit = countMisfit(type, count)) {
                    result.error = errorAt(i + 1, *misfit);
                    return result;
                }
            }
            next = i;
            break;
        }
        if (auto bad = checkRecord(line)) {
            result.error = errorAt(i + 1, *bad);
            return result;
        }
        if (auto misfit = countMisfit(type, count)) {
            result.error = errorAt(i + 1, *misfit);
            return result;
        }
        const std::uint32_t address = base + static_cast<std::uint32_t>(HexStringToDec(line.substr(3), 4));
        const auto expected = static_cast<std::uint32_t>(result.image.bytes.size());
        if (address != expected) {
            result.error = errorAt(i + 1, "record for address " + hexAddress(address) + " where the image goes on at " +
                                              hexAddress(expected) +
                                              "; the records must run on without a gap from address 0");
            return result;
        }
        result.image.total += static_cast<std::uint32_t>(count);
        for (unsigned long b = 0; b < count; ++b) result.image.bytes.push_back(dataByte(line, b));
        if (count < 16) {
            next = i + 1;
            break;
        }
    }
    // Data past the point where reading stops would silently be left out.
    for (std::size_t i = next; i < lines.size(); ++i) {
        if (isDataLine(lines[i])) {
            result.error = errorAt(i + 1, "data record after the image, which ends at line " + std::to_string(next) +
                                              ", would never be sent");
            return result;
        }
    }
    if (result.image.bytes.size() < kMinAImageBytes) {
        result.error = errorAt(0, "A image holds " + std::to_string(result.image.bytes.size()) +
                                      " bytes; at least " + std::to_string(kMinAImageBytes) + " are needed");
    }
    return result;
}

namespace {

constexpr const char* kBLineForm = "B lines are 16-byte data records ending in CR LF (45 characters)";

// Why a 45-character line is not an exact B line; nullopt when it is one.
std::optional<std::string> checkBLine(std::string_view line) {
    if (line[0] != ':') return std::string("record does not start with ':'");
    for (std::size_t i = 1; i + 2 < kBLineLength; ++i) {
        if (!isHexDigit(line[i])) return "character " + std::to_string(i + 1) + " is not a hexadecimal digit";
    }
    if (line.substr(kBLineLength - 2) != "\r\n") return std::string("line does not end in CR LF; ") + kBLineForm;
    if (countField(line) != 16 || typeField(line) != kRecordData) {
        return "record of " + std::to_string(countField(line)) + " bytes with type 0x" +
               hexByte(static_cast<std::uint8_t>(typeField(line))) + "; " + kBLineForm;
    }
    if (auto bad = checkRecord(line)) return bad;
    const auto parsed = parseBLine(line);
    if (!parsed) return std::string("record cannot be read as a B line");
    if (isRetryFrame(makeBLineFrame(*parsed))) {
        return "address low, address high and the first two data bytes are all 0x" + hexByte(parsed->data[0]) +
               ": the tool answers \"retry\" to this line and never sends it";
    }
    return std::nullopt;
}

// The file line that gave each B-code byte so far; a later line must not give it another value.
class BCodeBytes {
public:
    std::optional<std::string> add(std::size_t lineNo, const BLine& line) {
        for (std::size_t i = 0; i < line.data.size(); ++i) {
            const std::uint32_t address = line.address + static_cast<std::uint32_t>(i);
            Given& given = given_[address];
            if (given.line != 0 && given.value != line.data[i]) {
                return "gives address " + hexAddress(address) + " another value than line " + std::to_string(given.line);
            }
            given = {lineNo, line.data[i]};
        }
        return std::nullopt;
    }

private:
    struct Given {
        std::size_t line = 0;
        std::uint8_t value = 0;
    };
    std::unordered_map<std::uint32_t, Given> given_;
};

}  // namespace

BLinesResult gatherBLines(const std::vector<std::string>& lines) {
    BLinesResult result;
    BCodeBytes bytes;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::optional<std::string> bad;
        if (line.size() == kBLineLength) {
            bad = checkBLine(line);
            // The device keeps one value per address: a file that contradicts itself cannot land.
            if (const auto parsed = parseBLine(line); !bad && parsed) bad = bytes.add(i + 1, *parsed);
        } else if (isDataLine(line)) {
            // Skipping it would leave its bytes out of the B code.
            bad = "data record of " + std::to_string(line.size()) + " characters; " + kBLineForm;
        } else if (const unsigned long type = typeField(line);
                   (type == kRecordSegment || type == kRecordLinear) && !checkRecord(line) && baseAddress(line, type) != 0) {
            // A B line carries a 16-bit address: bytes meant for above 64 KiB would land below it.
            bad = "address record for base " + hexAddress(baseAddress(line, type)) +
                  "; B lines carry 16-bit addresses, so the base must stay 0";
        } else {
            continue;
        }
        if (bad) {
            result.error = errorAt(i + 1, *bad);
            return result;
        }
        result.lines.push_back(line);
    }
    if (result.lines.empty()) result.error = errorAt(0, std::string("no B line in the file; ") + kBLineForm);
    return result;
}

}  // namespace conv
