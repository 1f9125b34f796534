#include "conv/packets.h"

#include <algorithm>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/hiddescriptor.h"

#ifndef CONV_MODE_CODE
#error "CONV_MODE_CODE must be defined by the build"
#endif

namespace conv {

namespace {
void putLe16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
void putLe32(std::uint8_t* at, std::uint32_t value) {
    putLe16(at, value);
    putLe16(at + 2, value >> 16);
}
// Report byte of a packet offset (byte 0 of the report is the report number).
constexpr std::size_t R(std::size_t packetOffset) { return packetOffset + 1; }
}  // namespace

std::string_view modeCode() {
    static constexpr char code[] = CONV_MODE_CODE;
    static_assert(sizeof(code) == 9, "the mode code has exactly eight characters");
    return {code, 8};
}

bool carriesConverterReports(std::span<const std::uint8_t> descriptor, std::uint16_t vendorId,
                             std::uint16_t productId) {
    using hid::ReportKind;
    const auto reports = hid::parseReportDescriptor(descriptor);
    if (vendorId == kLoaderVid && productId == kLoaderPid)
        return reports && !hid::numbered(*reports, ReportKind::Input) && !hid::numbered(*reports, ReportKind::Output) &&
               hid::reportBytes(*reports, ReportKind::Input, 0) >= kLoaderPacketSize &&
               hid::reportBytes(*reports, ReportKind::Output, 0) >= kLoaderPacketSize;
    if (vendorId == kNormalVid && productId == kNormalPid)
        return reports && hid::reportBytes(*reports, ReportKind::Output, frame::kReportNoOut) >= kFrameReportSize - 1 &&
               hid::reportBytes(*reports, ReportKind::Input, frame::kReportNoIn) >= kFrameReportSize - 1;
    return true;
}

std::uint32_t packetChecksum(const LoaderReport& report) {
    return checkSum(report.data() + 1, static_cast<std::int32_t>(kLoaderPacketSize));
}

LoaderReport makeLoaderCommand(std::uint8_t command, std::uint32_t packetNo) {
    LoaderReport report{};
    putLe32(&report[R(loader::kCommand)], command);
    putLe32(&report[R(loader::kPacketNo)], packetNo);
    return report;
}

LoaderReport makeSyncPacket() {
    LoaderReport report = makeLoaderCommand(loader::kCmdSync, 1);
    putLe32(&report[R(loader::kData)], 1);
    return report;
}

std::vector<LoaderReport> buildAPackets(const AImage& image) {
    std::vector<LoaderReport> packets;
    const auto& bytes = image.bytes;
    if (bytes.size() < loader::kFirstImageBytes) return packets;
    std::uint32_t packetNo = loader::kFirstAPacketNo;

    LoaderReport first{};
    first[R(loader::kCommand)] = loader::kCmdUpdateAprom;
    putLe16(&first[R(loader::kPacketNo)], packetNo);
    putLe16(&first[R(loader::kTotal)], image.total);
    std::copy_n(bytes.begin(), loader::kFirstImageBytes, first.begin() + R(loader::kFirstImage));
    packets.push_back(first);
    packetNo += 2;

    std::size_t pos = loader::kFirstImageBytes;
    while (bytes.size() - pos >= loader::kContinuationBytes) {
        LoaderReport next{};
        putLe16(&next[R(loader::kPacketNo)], packetNo);
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(pos), loader::kContinuationBytes,
                    next.begin() + R(loader::kData));
        packets.push_back(next);
        pos += loader::kContinuationBytes;
        packetNo += 2;
    }

    LoaderReport last{};
    putLe16(&last[R(loader::kPacketNo)], packetNo);
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(pos), bytes.end(), last.begin() + R(loader::kData));
    packets.push_back(last);
    return packets;
}

std::string formatALine(const LoaderReport& report) {
    std::string text;
    text.reserve(2 * kLoaderReportSize);
    for (std::uint8_t b : report) text += hexByte(b);
    return text;
}

std::optional<LoaderReport> parseALine(std::string_view text) {
    if (text.size() < 2 * kLoaderReportSize) return std::nullopt;
    LoaderReport report{};
    for (std::size_t i = 0; i < kLoaderReportSize; ++i) {
        auto value = parseHexByte(text.substr(2 * i, 2));
        if (!value) return std::nullopt;
        report[i] = *value;
    }
    return report;
}

void putFrame(FrameReport& report, std::uint8_t kind, std::string_view payload) {
    const std::size_t n = std::min<std::size_t>(payload.size(), kFrameReportSize - 5);
    report[frame::kReportNo] = frame::kReportNoOut;
    report[frame::kKind] = kind;
    report[frame::kLength] = static_cast<std::uint8_t>(n);
    for (std::size_t i = 0; i < n; ++i) report[frame::kPayload + i] = static_cast<std::uint8_t>(payload[i]);
    putLe16(&report[frame::kPayload + n], checkSum(report.data(), static_cast<std::int32_t>(frame::kPayload + n)));
}

void putFrame(FrameReport& report, std::uint8_t kind, std::initializer_list<std::uint8_t> payload) {
    putFrame(report, kind, std::string_view(reinterpret_cast<const char*>(std::data(payload)), payload.size()));
}

bool frameChecksumOk(const std::uint8_t* report, std::size_t size) {
    if (size < frame::kPayload) return false;
    const std::size_t n = report[frame::kLength];
    if (frame::kPayload + n + 2 > size) return false;
    const std::uint32_t sum = checkSum(report, static_cast<std::int32_t>(frame::kPayload + n)) & 0xFFFF;
    const std::uint32_t stated = report[frame::kPayload + n] | (report[frame::kPayload + n + 1] << 8);
    return sum == stated;
}

std::optional<BLine> parseBLine(std::string_view text) {
    if (text.size() < 41) return std::nullopt;
    auto high = parseHexByte(text.substr(3, 2));
    auto low = parseHexByte(text.substr(5, 2));
    if (!high || !low) return std::nullopt;
    BLine line;
    line.address = static_cast<std::uint16_t>((*high << 8) | *low);
    for (std::size_t i = 0; i < line.data.size(); ++i) {
        auto value = parseHexByte(text.substr(9 + 2 * i, 2));
        if (!value) return std::nullopt;
        line.data[i] = *value;
    }
    return line;
}

FrameReport makeBLineFrame(const BLine& line) {
    FrameReport report{};
    std::string payload;
    payload += static_cast<char>(line.address & 0xFF);
    payload += static_cast<char>(line.address >> 8);
    for (std::uint8_t b : line.data) payload += static_cast<char>(b);
    putFrame(report, frame::kKindBLine, payload);
    return report;
}

bool isRetryFrame(const FrameReport& f) { return f[3] == f[4] && f[4] == f[5] && f[5] == f[6]; }

bool isBLineEcho(const std::uint8_t* report, std::size_t size) {
    return size >= frame::kBLineChecksum && report[0] == frame::kReportNoIn && report[1] == frame::kKindBLine &&
           report[2] == frame::kBLinePayload;
}

std::uint32_t echoChecksum(const std::uint8_t* report) {
    return checkSum(report, static_cast<std::int32_t>(frame::kBLineChecksum)) + 4;
}

}  // namespace conv
