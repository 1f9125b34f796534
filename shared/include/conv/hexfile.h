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
    std::size_t line = 0;  // 0: the file as a whole
    std::string what;
    std::string message() const;  // "line 12: checksum 0x3a, expected 0x5c"
};

// Splits a file into lines the way a 1024-byte fgets() loop does: each line keeps its
// line feed, and a line longer than 1023 characters comes out in 1023-character pieces.
// nullopt when the file cannot be opened.
std::optional<std::vector<std::string>> readHexLines(const std::string& path);
std::vector<std::string> splitHexLines(std::string_view content);

// Checks one record as it stands in a line: a colon, hexadecimal digits for the count,
// address, type, `count` data bytes and the record checksum, and a correct checksum.
// Trailing carriage return / line feed are ignored. nullopt when the record is sound.
std::optional<std::string> checkRecord(std::string_view line);

// Intel HEX record types.
inline constexpr unsigned long kRecordData = 0x00;
inline constexpr unsigned long kRecordEnd = 0x01;
inline constexpr unsigned long kRecordSegment = 0x02;       // extended segment address
inline constexpr unsigned long kRecordSegmentStart = 0x03;
inline constexpr unsigned long kRecordLinear = 0x04;        // extended linear address
inline constexpr unsigned long kRecordLinearStart = 0x05;

// ---- A image -------------------------------------------------------------------------------

// The first packet always carries this many image bytes, so an image must hold at least this.
inline constexpr std::size_t kMinAImageBytes = 48;

struct AImage {
    std::vector<std::uint8_t> bytes;  // records concatenated in file order from address 0
    std::uint32_t total = 0;          // sum of the counts of the taken records (== bytes.size())
    std::uint16_t checksum16() const;  // 16-bit sum of the image bytes (the loader's final total)
};

struct AImageResult {
    AImage image;
    std::optional<HexError> error;  // set: the file must not be sent
    bool ok() const { return !error.has_value(); }
};

// Gathers the A image: the first line is skipped (it must not be a data record, whose bytes
// would be lost; an address record there sets the base); a line is taken when its count is 16 or
// its type is 0; reading stops at the first other line, after the first data record shorter than
// 16 bytes, or at the end. Every taken record is validated (digits, length, record checksum, a
// count that fits its type), the taken records must run contiguously from address 0 in file
// order, no data record may follow where reading stopped, and the image must hold at least 48
// bytes: whatever could not be sent exactly as the file says is refused.
AImageResult gatherAImage(const std::vector<std::string>& lines);

// ---- B code ---------------------------------------------------------------------------------

// Length of a B line: a 16-byte data record (43 characters) with carriage return and line feed.
inline constexpr std::size_t kBLineLength = 45;

struct BLinesResult {
    std::vector<std::string> lines;  // the lines taken, exactly as read (45 characters each)
    std::optional<HexError> error;
    bool ok() const { return !error.has_value(); }
};

// Takes every line of exactly 45 characters, each of which must be an exact 16-byte data record
// ending in CR LF whose frame the device can take (not a "retry" line). A data record of any
// other length is refused rather than skipped, and so is a file without a single B line.
BLinesResult gatherBLines(const std::vector<std::string>& lines);

}  // namespace conv
