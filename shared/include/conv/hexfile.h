#pragma once
// Reading Intel HEX files the way the converter's tools always have, plus the validation that
// keeps a damaged file from reaching the device.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace conv {

// A refusal that names the file line (counted from 1) and what was wrong with it.
struct HexError {
    std::size_t line = 0;  // 0: the file as a whole; one past the last line: the file ends too soon
    std::string what;
    std::string message() const;  // "line 12: checksum 0x3a, expected 0x5c"
};

// A firmware file read whole, once. Only a regular file is read: the path is opened without
// blocking (a FIFO's writer is never waited for) and checked with fstat() before a byte is read.
struct FileBytes {
    enum class Status { Read, Missing, Refused };
    Status status = Status::Read;
    std::string bytes;  // Read: the whole file
    std::string why;    // Missing: the system's words; Refused: "tmpa.hex is not a regular file (a FIFO)"
};
// No firmware file comes near this size (an A image of 64 KiB in 1-byte records is 1 MiB).
inline constexpr std::size_t kMaxFirmwareFileBytes = 16u << 20;
FileBytes readFirmwareFile(const std::string& path);

// Splits a file into its lines, each whole however long and with its line feed; only the last
// line may lack one. A line number in a refusal is the index here plus one.
std::vector<std::string> splitHexLines(std::string_view content);

// The longest record: a colon and the digits of 5 + 255 bytes. A line longer than this without
// its line end (trailing blanks counted) is refused as too long.
inline constexpr std::size_t kMaxRecordCharacters = 1 + 2 * (5 + 255);

// Checks one record as it stands in a line: a colon, hexadecimal digits for the count,
// address, type, `count` data bytes and the record checksum, and a correct checksum.
// Trailing carriage return / line feed are ignored. nullopt when the record is sound.
std::optional<std::string> checkRecord(std::string_view line);

// Intel HEX record types.
inline constexpr unsigned long kRecordData = 0x00;
inline constexpr unsigned long kRecordEnd = 0x01;
inline constexpr unsigned long kRecordSegment = 0x02;  // extended segment address
inline constexpr unsigned long kRecordSegmentStart = 0x03;
inline constexpr unsigned long kRecordLinear = 0x04;  // extended linear address
inline constexpr unsigned long kRecordLinearStart = 0x05;

// ---- A image -------------------------------------------------------------------------------

// The first packet always carries this many image bytes, so an image must hold at least this.
inline constexpr std::size_t kMinAImageBytes = 48;
// The first packet tells the loader the image's length in 16 bits: an image cannot be longer.
inline constexpr std::size_t kMaxAImageBytes = 0xFFFF;

struct AImage {
    std::vector<std::uint8_t> bytes;   // records concatenated in file order from address 0
    std::uint32_t total = 0;           // sum of the counts of the taken records (== bytes.size())
    std::uint16_t checksum16() const;  // 16-bit sum of the image bytes (the loader's final total)
};

struct AImageResult {
    AImage image;
    std::optional<HexError> error;  // set: the file must not be sent
    bool ok() const { return !error.has_value(); }
};

// Rules both gatherers share: an empty line (nothing but its line end) is passed over; every
// other line must be a sound record whose count fits its type, not longer than a record can be;
// the file must hold its end-of-file record, and nothing but empty lines may follow it.
//
// Gathers the A image: line 1 is never sent (a data record there is refused; an address record
// there sets the base); from line 2 on, data records are taken in file order, up to the first
// data record shorter than 16 bytes or the first other record; no data record may follow. The
// taken records must run on without a gap from address 0, and the image must hold at least 48
// bytes and at most 65535 (the loader's 16-bit length field): whatever could not be sent exactly
// as the file says is refused.
AImageResult gatherAImage(const std::vector<std::string>& lines);

// ---- B code ---------------------------------------------------------------------------------

// Length of a B line: a 16-byte data record (43 characters) with carriage return and line feed.
inline constexpr std::size_t kBLineLength = 45;

struct BLinesResult {
    std::vector<std::string> lines;  // the lines taken, exactly as read (45 characters each)
    std::optional<HexError> error;
    bool ok() const { return !error.has_value(); }
};

// Takes every data record, each of which must be an exact 16-byte data record of 45 characters
// ending in CR LF whose frame the device can take (not a "retry" line), and no two of which may
// give one address different bytes; an address record may not set a base above 0. A file without
// a single B line is refused. The shared rules above apply.
BLinesResult gatherBLines(const std::vector<std::string>& lines);

}  // namespace conv
