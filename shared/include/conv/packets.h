#pragma once
// Report layouts of the converter's two USB identities, declared once for the tool, the front
// end and the emulated converter.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "conv/hexfile.h"

namespace conv {

// ---- identities ----------------------------------------------------------------------------
inline constexpr std::uint16_t kLoaderVid = 0x0416;
inline constexpr std::uint16_t kLoaderPid = 0xA316;
inline constexpr std::uint16_t kNormalVid = 0x0E7B;
inline constexpr std::uint16_t kNormalPid = 0x0BF2;

// The mode code the converter's firmware expects in the mode frame (a build setting).
std::string_view modeCode();

// Whether a HID interface with this report descriptor carries the identity's reports: in normal
// mode the 32-byte frames, output report 5 and input report 1; in the loader the unnumbered 64-byte
// packets and replies. A converter may show other interfaces beside it (a gamepad), which are passed
// over. Any interface of an identity that is neither fits.
bool carriesConverterReports(std::span<const std::uint8_t> descriptor, std::uint16_t vendorId, std::uint16_t productId);

// ---- loader packets ------------------------------------------------------------------------
// A loader packet is 64 bytes, written as a 65-byte report whose byte 0 is report number 0.
inline constexpr std::size_t kLoaderPacketSize = 64;
inline constexpr std::size_t kLoaderReportSize = 65;
using LoaderReport = std::array<std::uint8_t, kLoaderReportSize>;

namespace loader {
// Packet offsets (report byte = packet offset + 1).
inline constexpr std::size_t kCommand = 0;       // 32-bit LE command code
inline constexpr std::size_t kPacketNo = 4;      // 32-bit LE packet number
inline constexpr std::size_t kData = 8;          // command data / continuation image bytes
inline constexpr std::size_t kStartAddress = 8;  // first A packet: start address (always 0)
inline constexpr std::size_t kTotal = 12;        // first A packet: image length, low 16 bits
inline constexpr std::size_t kFirstImage = 16;   // first A packet: first 48 image bytes
inline constexpr std::size_t kFirstImageBytes = 48;
inline constexpr std::size_t kContinuationBytes = 56;

inline constexpr std::uint8_t kCmdUpdateAprom = 0xA0;
inline constexpr std::uint8_t kCmdSync = 0xA4;
inline constexpr std::uint8_t kCmdStatus = 0xA6;
inline constexpr std::uint8_t kCmdRunAprom = 0xAB;

// Reply offsets (the loader's input reports carry no report number).
inline constexpr std::size_t kReplyChecksum = 0;  // 16-bit LE checksum of the packet received
inline constexpr std::size_t kReplyPacketNo = 4;  // 32-bit LE: packet number + 1
inline constexpr std::size_t kReplyTotal = 8;     // after the last A packet: 16-bit LE total

// The first A packet carries number 3: sync sends 1 and the loader answers 2.
inline constexpr std::uint32_t kFirstAPacketNo = 3;
}  // namespace loader

// Checksum of the 64 packet bytes of a report (report bytes 1..64).
std::uint32_t packetChecksum(const LoaderReport& report);

// A bare loader command (sync 0xA4 also carries packet number 1 twice, at offsets 4 and 8).
LoaderReport makeLoaderCommand(std::uint8_t command, std::uint32_t packetNo = 0);
LoaderReport makeSyncPacket();

// All A packets of an image, numbered 3, 5, 7, ...: the first (0xA0, total, 48 bytes), the full
// continuation packets (56 bytes each) and the last packet (0..55 bytes, always sent).
// The image must hold at least 48 bytes.
std::vector<LoaderReport> buildAPackets(const AImage& image);

// The A-line argument: 130 lower-case hexadecimal digits, report byte 0 first.
std::string formatALine(const LoaderReport& report);
// Parses the first 130 characters of an A-line argument (either case). nullopt when it is
// shorter than 130 characters or holds a non-hexadecimal character among them.
std::optional<LoaderReport> parseALine(std::string_view text);

// ---- device frames (normal-mode identity) --------------------------------------------------
inline constexpr std::size_t kFrameReportSize = 32;
using FrameReport = std::array<std::uint8_t, kFrameReportSize>;

namespace frame {
inline constexpr std::size_t kReportNo = 0;
inline constexpr std::size_t kKind = 1;
inline constexpr std::size_t kLength = 2;
inline constexpr std::size_t kPayload = 3;

inline constexpr std::uint8_t kReportNoOut = 5;  // tool -> device
inline constexpr std::uint8_t kReportNoIn = 1;   // device -> tool

inline constexpr std::uint8_t kKindMode = 1;
inline constexpr std::uint8_t kKindBLine = 2;
inline constexpr std::uint8_t kKindStartBurn = 3;
inline constexpr std::uint8_t kKindQuit = 4;

inline constexpr std::uint8_t kStartA = 0x41;
inline constexpr std::uint8_t kBurnB = 0x42;
inline constexpr std::uint8_t kQuitA = 0x41;
inline constexpr std::uint8_t kQuitB = 0x42;
inline constexpr std::uint8_t kQuitSecond = 0x20;

inline constexpr std::uint8_t kBLinePayload = 0x12;  // address (2) + 16 data bytes
inline constexpr std::size_t kBLineChecksum = 21;    // bytes 21..22 of a B-line frame
}  // namespace frame

// Writes kind, length and payload into `report` (byte 0 = 5) and the 16-bit LE checksum of
// bytes 0..2+N behind them. Bytes after the checksum are left as they were, as the device
// commands leave them.
void putFrame(FrameReport& report, std::uint8_t kind, std::string_view payload);
void putFrame(FrameReport& report, std::uint8_t kind, std::initializer_list<std::uint8_t> payload);

// Checks a received frame: payload length fits in 32 bytes and the 16-bit LE checksum after the
// payload equals the sum of the bytes before it.
bool frameChecksumOk(const std::uint8_t* report, std::size_t size);

// A B line (45 characters) as the device receives it.
struct BLine {
    std::uint16_t address = 0;
    std::array<std::uint8_t, 16> data{};
};
// Reads the address (characters 4..7) and the 16 data bytes (characters 10..41) of a B line.
// nullopt when the text is shorter than 41 characters or a digit there is not hexadecimal.
std::optional<BLine> parseBLine(std::string_view text);
// The 32-byte B-line frame: 05 02 12, address low, address high, 16 data bytes, checksum.
FrameReport makeBLineFrame(const BLine& line);
// Address low, address high and the first two data bytes all equal: the line is not sent.
bool isRetryFrame(const FrameReport& frame);
// An echo (01 02 12 ...) and its checksum value: sum of bytes 0..20, plus 4.
bool isBLineEcho(const std::uint8_t* report, std::size_t size);
std::uint32_t echoChecksum(const std::uint8_t* report);

}  // namespace conv
