#include "conv/hexfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/packets.h"

namespace conv {

namespace {

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

HexError errorAt(std::size_t line, std::string what) { return HexError{line, std::move(what)}; }

const char* fileKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a plain file";
}

FileBytes refused(std::string why) { return FileBytes{FileBytes::Status::Refused, {}, std::move(why)}; }

FileBytes notRegular(const std::string& name, mode_t mode) {
    return refused(name + " is not a regular file (" + fileKind(mode) + ")");
}

}  // namespace

std::string HexError::message() const {
    if (line == 0) return what;
    return "line " + std::to_string(line) + ": " + what;
}

std::vector<std::string> splitHexLines(std::string_view content) {
    std::vector<std::string> lines;
    for (std::size_t pos = 0; pos < content.size();) {
        const std::size_t feed = content.find('\n', pos);
        const std::size_t end = feed == std::string_view::npos ? content.size() : feed + 1;
        lines.emplace_back(content.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

FileBytes readFirmwareFile(const std::string& path) {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    // O_NONBLOCK: opening a FIFO does not wait for a writer, nor a device for its line.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) {
        const int error = errno;
        // A socket cannot be opened at all; say what it is rather than that it is missing.
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return notRegular(name, st.st_mode);
        return FileBytes{FileBytes::Status::Missing, {}, std::strerror(error)};
    }
    FileBytes file;
    if (::fstat(fd, &st) != 0) {
        file = refused(name + " cannot be examined: " + std::strerror(errno));
    } else if (!S_ISREG(st.st_mode)) {
        file = notRegular(name, st.st_mode);
    } else {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                file = refused(name + " cannot be read: " + std::strerror(errno));
                break;
            }
            if (got == 0) break;
            file.bytes.append(buffer, static_cast<std::size_t>(got));
            if (file.bytes.size() > kMaxFirmwareFileBytes) {
                file = refused(name + " holds more than " + std::to_string(kMaxFirmwareFileBytes >> 20) +
                               " MiB; no firmware file is that large");
                break;
            }
        }
    }
    ::close(fd);
    return file;
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

std::uint16_t AImage::checksum16() const { return static_cast<std::uint16_t>(checkSum(bytes) & 0xFFFF); }

namespace {

// Count and type fields of a line that checkRecord() found sound.
unsigned long countField(std::string_view line) { return HexStringToDec(line.substr(1), 2); }
unsigned long typeField(std::string_view line) { return HexStringToDec(line.substr(7), 2); }

// A record type's own byte count; nullopt for a data record (any count) or an unknown type.
std::optional<unsigned long> fixedCount(unsigned long type) {
    switch (type) {
        case kRecordEnd:
            return 0;
        case kRecordSegment:
        case kRecordLinear:
            return 2;
        case kRecordSegmentStart:
        case kRecordLinearStart:
            return 4;
        default:
            return std::nullopt;
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

std::string hexAddress(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", address);
    return text;
}

// Byte `index` of a validated record's data.
std::uint8_t dataByte(std::string_view line, std::size_t index) {
    return parseHexByte(line.substr(9 + 2 * index, 2)).value_or(0);
}

// The base address an address record sets (types 02 and 04; 0 for any other record).
std::uint32_t baseAddress(std::string_view line, unsigned long type) {
    const std::uint32_t value = (std::uint32_t{dataByte(line, 0)} << 8) | dataByte(line, 1);
    if (type == kRecordSegment) return value << 4;
    if (type == kRecordLinear) return value << 16;
    return 0;
}

// The line without its line feed and the carriage returns before it.
std::string_view lineBody(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

// The rules both files share, line by line: empty lines are passed over, every other line is a
// sound record, and nothing but empty lines follows the end-of-file record.
class RecordLines {
public:
    explicit RecordLines(const std::vector<std::string>& lines) : lines_(lines) {}

    // Moves to the next line that holds a record; false at the end of the file or at a refusal.
    // `first`, when given, judges a line before the record rules do.
    bool next(std::optional<std::string> (*first)(std::string_view line) = nullptr) {
        while (++index_ < lines_.size()) {
            const std::string_view body = lineBody(lines_[index_]);
            if (body.empty()) continue;
            if (end_ != 0)
                return refuse("follows the end-of-file record on line " + std::to_string(end_) + "; nothing may");
            if (body.size() > kMaxRecordCharacters) {
                return refuse("line of " + std::to_string(body.size()) + " characters; no record is longer than " +
                              std::to_string(kMaxRecordCharacters));
            }
            if (auto bad = first ? first(lines_[index_]) : std::nullopt) return refuse(*bad);
            if (auto bad = checkRecord(body)) return refuse(*bad);
            if (auto misfit = countMisfit(type(), count())) return refuse(*misfit);
            if (type() != kRecordEnd) return true;
            end_ = lineNo();
        }
        if (end_ == 0 && !error_) {
            error_ = errorAt(lines_.size() + 1, "the file ends without its end-of-file record (cut off?)");
        }
        return false;
    }
    bool refuse(std::string what) {
        error_ = errorAt(lineNo(), std::move(what));
        index_ = lines_.size();
        return false;
    }

    std::string_view line() const { return lines_[index_]; }
    std::size_t lineNo() const { return index_ + 1; }
    unsigned long type() const { return typeField(line()); }
    unsigned long count() const { return countField(line()); }
    std::uint32_t offset() const { return static_cast<std::uint32_t>(HexStringToDec(line().substr(3), 4)); }
    std::optional<HexError>& error() { return error_; }

private:
    const std::vector<std::string>& lines_;
    std::size_t index_ = static_cast<std::size_t>(-1);
    std::size_t end_ = 0;  // line of the end-of-file record
    std::optional<HexError> error_;
};

}  // namespace

AImageResult gatherAImage(const std::vector<std::string>& lines) {
    AImageResult result;
    std::vector<std::uint8_t>& bytes = result.image.bytes;
    RecordLines records(lines);
    std::uint32_t base = 0;
    std::size_t lastTaken = 1;  // the line of the last record taken
    bool imageEnded = false;
    while (records.next()) {
        const unsigned long type = records.type(), count = records.count();
        if (records.lineNo() == 1) {
            // Line 1 is never sent: no data record may stand there; an address record sets the base.
            if (type == kRecordData) {
                records.refuse(
                    "a data record on the first line would never be sent; the file must start with an "
                    "address record (:020000040000FA)");
                break;
            }
            base = baseAddress(records.line(), type);
            continue;
        }
        if (type != kRecordData || imageEnded) {
            if (type == kRecordData && count > 0) {
                records.refuse("data record after the image, which ends at line " + std::to_string(lastTaken) +
                               ", would never be sent");
                break;
            }
            imageEnded = true;  // the first other record ends the image
            continue;
        }
        const std::uint32_t address = base + records.offset();
        const auto expected = static_cast<std::uint32_t>(bytes.size());
        if (address != expected) {
            records.refuse("record for address " + hexAddress(address) + " where the image goes on at " +
                           hexAddress(expected) + "; the records must run on without a gap from address 0");
            break;
        }
        if (bytes.size() + count > kMaxAImageBytes) {
            records.refuse("record takes the A image to " + std::to_string(bytes.size() + count) +
                           " bytes; the loader's 16-bit length field carries at most " +
                           std::to_string(kMaxAImageBytes));
            break;
        }
        for (unsigned long b = 0; b < count; ++b) bytes.push_back(dataByte(records.line(), b));
        lastTaken = records.lineNo();
        imageEnded = count < 16;
    }
    result.image.total = static_cast<std::uint32_t>(bytes.size());
    result.error = std::move(records.error());
    if (!result.error && bytes.size() < kMinAImageBytes) {
        result.error = errorAt(0, "A image holds " + std::to_string(bytes.size()) + " bytes; at least " +
                                      std::to_string(kMinAImageBytes) + " are needed");
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
                return "gives address " + hexAddress(address) + " another value than line " +
                       std::to_string(given.line);
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

// Why a record that is not 45 characters long cannot stand in a B file; nullopt when it may.
std::optional<std::string> checkOtherRecord(std::string_view line, unsigned long type, unsigned long count) {
    // Skipping a data record would leave its bytes out of the B code.
    if (type == kRecordData && count > 0)
        return "data record of " + std::to_string(line.size()) + " characters; " + kBLineForm;
    // A B line carries a 16-bit address: bytes meant for above 64 KiB would land below it.
    if (baseAddress(line, type) != 0) {
        return "address record for base " + hexAddress(baseAddress(line, type)) +
               "; B lines carry 16-bit addresses, so the base must stay 0";
    }
    return std::nullopt;
}

}  // namespace

BLinesResult gatherBLines(const std::vector<std::string>& lines) {
    BLinesResult result;
    BCodeBytes bytes;
    RecordLines records(lines);
    // A 45-character line is judged as a B line first: that says more than the record rules would.
    constexpr auto asBLine = [](std::string_view line) {
        return line.size() == kBLineLength ? checkBLine(line) : std::nullopt;
    };
    while (records.next(asBLine)) {
        const std::string_view line = records.line();
        if (line.size() != kBLineLength) {
            if (auto bad = checkOtherRecord(line, records.type(), records.count())) {
                records.refuse(*bad);
                break;
            }
            continue;
        }
        // The device keeps one value per address: a file that contradicts itself cannot land.
        if (auto clash = bytes.add(records.lineNo(), *parseBLine(line))) {
            records.refuse(*clash);
            break;
        }
        result.lines.emplace_back(line);
    }
    result.error = std::move(records.error());
    if (!result.error && result.lines.empty())
        result.error = errorAt(0, std::string("no B line in the file; ") + kBLineForm);
    return result;
}

}  // namespace conv
