// fwgen: deterministic sample firmware as Intel HEX, and the A image's checksum as the tools see it.
//   fwgen a OUT.hex [--bytes N] [--seed S]   application image (default 30000 bytes)
//   fwgen b OUT.hex [--lines N] [--seed S]   B code, 16-byte data lines with CR LF (default 320 lines)
//   fwgen checksum A.hex                     16-bit total of the A image, 4 lower-case hex digits
//   fwgen alines A.hex                       the A image as A-line arguments, one packet per line
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conv/hexfield.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "conv/version.h"

namespace {

constexpr const char* kUsage =
    "usage: fwgen a OUT.hex [--bytes N] [--seed S]\n"
    "       fwgen b OUT.hex [--lines N] [--seed S]\n"
    "       fwgen checksum A.hex\n"
    "       fwgen alines A.hex\n"
    "       fwgen --help | --version\n";
constexpr std::size_t kRecordBytes = 16;
constexpr const char* kLineEnd = "\r\n";

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    std::uint8_t next() {
        state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint8_t>(state_ >> 56);
    }

private:
    std::uint64_t state_;
};

std::string record(std::uint16_t address, std::uint8_t type, const std::uint8_t* data, std::size_t n) {
    std::uint32_t sum = static_cast<std::uint32_t>(n) + (address >> 8) + (address & 0xFF) + type;
    std::string text = ":" + conv::hexByte(static_cast<std::uint8_t>(n)) +
                       conv::hexByte(static_cast<std::uint8_t>(address >> 8)) +
                       conv::hexByte(static_cast<std::uint8_t>(address)) + conv::hexByte(type);
    for (std::size_t i = 0; i < n; ++i) {
        text += conv::hexByte(data[i]);
        sum += data[i];
    }
    text += conv::hexByte(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text + kLineEnd;
}

// The gatherer never sends line 1, so every file opens with an address record.
std::string header() { return std::string(":020000040000FA") + kLineEnd; }
std::string eof() { return std::string(":00000001FF") + kLineEnd; }

std::string makeA(std::size_t bytes, std::uint64_t seed) {
    Random random(seed);
    std::string text = header();
    for (std::size_t pos = 0; pos < bytes; pos += kRecordBytes) {
        std::uint8_t data[kRecordBytes];
        const std::size_t n = std::min(kRecordBytes, bytes - pos);
        for (std::size_t i = 0; i < n; ++i) data[i] = random.next();
        text += record(static_cast<std::uint16_t>(pos), 0, data, n);
    }
    return text + eof();
}

std::string makeB(std::size_t lines, std::uint64_t seed) {
    Random random(seed + 0xB);
    std::string text = header();
    for (std::size_t line = 0; line < lines; ++line) {
        const auto address = static_cast<std::uint16_t>(line * kRecordBytes);
        std::uint8_t data[kRecordBytes];
        for (std::uint8_t& b : data) b = random.next();
        // Address low = address high = first two data bytes would make the line a "retry" for ever.
        if ((address & 0xFF) == (address >> 8) && data[0] == (address & 0xFF) && data[1] == data[0]) data[1] ^= 0x5A;
        text += record(address, 0, data, kRecordBytes);
    }
    return text + eof();
}

std::optional<std::size_t> number(std::string_view text, std::size_t low, std::size_t high) {
    std::size_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
    return value;
}

int fail(const std::string& what) {
    std::cerr << "fwgen: " << what << "\n" << kUsage;
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (args.size() == 1 && args[0] == "--version") {
        std::cout << "fwgen " << conv::programVersion() << "\n";
        return 0;
    }
    if (args.empty()) return fail("missing arguments");
    const std::string_view what = args[0];
    if (what != "a" && what != "b" && what != "checksum" && what != "alines")
        return fail("unknown kind '" + std::string(what) + "'");
    if (args.size() < 2) return fail("missing arguments");
    const std::string path(args[1]);

    if (what == "checksum" || what == "alines") {
        if (args.size() != 2) return fail(std::string(what) + " takes one file");
        const conv::FileBytes read = conv::readFirmwareFile(path);
        if (read.status == conv::FileBytes::Status::Missing) return fail("cannot read " + path + ": " + read.why);
        conv::AImageResult gathered = read.status == conv::FileBytes::Status::Read
                                          ? conv::gatherAImage(conv::splitHexLines(read.bytes))
                                          : conv::AImageResult{{}, conv::HexError{0, read.why}};
        if (!gathered.ok()) {
            std::cerr << "fwgen: " << path << ": " << gathered.error->message() << "\n";
            return 1;
        }
        if (what == "alines") {
            for (const auto& packet : conv::buildAPackets(gathered.image))
                std::cout << conv::formatALine(packet) << "\n";
            return 0;
        }
        const std::uint16_t total = gathered.image.checksum16();
        std::cout << conv::hexByte(static_cast<std::uint8_t>(total >> 8))
                  << conv::hexByte(static_cast<std::uint8_t>(total)) << "\n";
        return 0;
    }

    // Records carry 16-bit addresses and the A gatherer stops at address records: 64 KiB at most.
    std::size_t count = what == "a" ? 30000 : 320;
    std::uint64_t seed = 1;
    for (std::size_t i = 2; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return fail(std::string(args[i]) + " needs a value");
        std::optional<std::size_t> value;
        if (what == "a" && args[i] == "--bytes") {
            value = number(args[i + 1], conv::kMinAImageBytes, 65535);
            if (!value) return fail("--bytes takes 48 to 65535");
            count = *value;
        } else if (what == "b" && args[i] == "--lines") {
            value = number(args[i + 1], 1, 4096);
            if (!value) return fail("--lines takes 1 to 4096");
            count = *value;
        } else if (args[i] == "--seed") {
            value = number(args[i + 1], 0, 1u << 31);
            if (!value) return fail("--seed takes a number");
            seed = *value;
        } else {
            return fail("unknown option '" + std::string(args[i]) + "'");
        }
    }
    std::ofstream out(path, std::ios::binary);
    out << (what == "a" ? makeA(count, seed) : makeB(count, seed));
    out.close();
    if (!out) return fail("cannot write " + path);
    return 0;
}
