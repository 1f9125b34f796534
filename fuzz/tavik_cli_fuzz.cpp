// tavik's command line against an in-memory converter whose every answer comes from the input:
// the argument (a command word, an A-line or B-line argument, anything), the firmware file the
// whole-file words read, and the reports the device sends back. No device, no sleeping. Every
// firmware byte "ua" and "ub" send must be the one the file gives for that address.
//
// Input: [flags][argument length][argument][file length, 2 bytes LE][file][reports...]
// where each report is [length][bytes]. Flags: bit 0 loader present, bit 1 normal-mode device
// present, bit 2 the opens are refused instead, bit 3 the first write fails, bit 4 the device
// strings cannot be read, bit 5 two arguments instead of one.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "conv/hexfile.h"
#include "conv/toolrun.h"
#include "core/dispatcher.h"
#include "core/session.h"
#include "fuzz_check.h"
#include "hex_reference.h"
#include "hid/transport.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::string_view take(std::size_t n) {
        n = std::min(n, size - pos);
        std::string_view text(reinterpret_cast<const char*>(data + pos), n);
        pos += n;
        return text;
    }
    bool done() const { return pos >= size; }
};

// What the device has said so far, shared by every handle opened in one run.
struct Script {
    std::deque<Bytes> reports;
    int failWrites = 0;
    bool stringsFail = false;
    std::size_t bytesDelivered = 0;  // report bytes the tool has actually read
    std::vector<Bytes> written;
};

class ScriptedDevice final : public tavik::hid::Device {
public:
    explicit ScriptedDevice(Script& script) : s_(script) {}
    int write(std::span<const std::uint8_t> data) override {
        if (s_.failWrites > 0) return --s_.failWrites, -1;
        s_.written.emplace_back(data.begin(), data.end());
        return static_cast<int>(data.size());
    }
    int read(std::span<std::uint8_t> data, int timeoutMs) override {
        // Nothing left: a blocking read finds the device gone; a bounded one times out.
        if (s_.reports.empty()) return timeoutMs < 0 ? -1 : 0;
        const Bytes report = std::move(s_.reports.front());
        s_.reports.pop_front();
        const std::size_t n = std::min(report.size(), data.size());
        std::copy_n(report.begin(), n, data.begin());
        s_.bytesDelivered += n;
        return static_cast<int>(n);
    }
    std::optional<std::string> getString(tavik::hid::StringKind kind) override {
        if (s_.stringsFail) return std::nullopt;
        return kind == tavik::hid::StringKind::SerialNumber ? std::string("\xE2\x82\xAC-1") : std::string("fz");
    }

private:
    Script& s_;
};

class ScriptedTransport final : public tavik::hid::Transport {
public:
    ScriptedTransport(Script& script, std::uint8_t flags) : s_(script), flags_(flags) {}
    std::vector<tavik::hid::DeviceInfo> enumerate() override {
        return {{0x0416, 0xA316, "/dev/hidraw0", "S1", "1-1"}, {0x0E7B, 0x0BF2, "/dev/hidraw1", "", "1-2"}};
    }
    tavik::hid::OpenResult open(std::uint16_t vendorId, std::uint16_t) override {
        ++opens;
        const bool present = (flags_ & (vendorId == 0x0416 ? 1 : 2)) != 0;
        if (!present) return {tavik::hid::OpenStatus::Absent, nullptr, "", "", ""};
        if (flags_ & 4) return {tavik::hid::OpenStatus::Refused, nullptr, "refused", "", ""};
        return {tavik::hid::OpenStatus::Opened, std::make_unique<ScriptedDevice>(s_), "", "", ""};
    }
    int opens = 0;

private:
    Script& s_;
    std::uint8_t flags_;
};

const std::string& workDir() {
    static const std::string dir = [] {
        std::string d =
            (std::filesystem::temp_directory_path() / ("fuzz_tavik_cli." + std::to_string(::getpid()))).string();
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

// The A packets written carry the file's bytes at their image positions (the first packet 48
// from 0, continuation packet k 56 from 48 + 56 (k - 1)); zero fill only past the image's end.
void checkAPackets(const std::vector<Bytes>& written, const fuzzref::Contents& file) {
    std::optional<std::uint32_t> total;
    for (const Bytes& r : written) {
        if (r.size() != 65 || (r[1] != 0xA0 && r[1] != 0x00)) continue;
        const std::uint32_t number = r[5] | (r[6] << 8);
        const bool first = r[1] == 0xA0;
        if (first) total = r[13] | (r[14] << 8);
        FUZZ_REQUIRE(total.has_value() && *total == (file.size() & 0xFFFF));
        FUZZ_REQUIRE(first || (number >= 5 && number % 2 == 1));
        const std::uint32_t from = first ? 0 : 48 + 56 * ((number - 5) / 2);
        const std::size_t at = first ? 17 : 9;
        for (std::size_t i = at; i < 65; ++i) {
            const std::uint32_t position = from + static_cast<std::uint32_t>(i - at);
            if (position < file.size()) {
                FUZZ_REQUIRE(fuzzref::says(file, position, r[i]));
            } else {
                FUZZ_REQUIRE(r[i] == 0);
            }
        }
    }
}

// Each B-line frame written carries the 16 bytes the file gives for its address.
void checkBFrames(const std::vector<Bytes>& written, const fuzzref::Contents& file) {
    for (const Bytes& f : written) {
        if (f.size() != 32 || f[0] != 5 || f[1] != 2 || f[2] != 0x12) continue;
        const std::uint32_t address = f[3] | (f[4] << 8);
        for (std::uint32_t i = 0; i < 16; ++i) FUZZ_REQUIRE(fuzzref::says(file, address + i, f[5 + i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t flags = in.byte();
    const std::string argument(in.take(in.byte()));
    const std::size_t fileLength = in.byte() | (in.byte() << 8);
    const std::string_view file = in.take(fileLength);

    Script script;
    script.failWrites = (flags & 8) ? 1 : 0;
    script.stringsFail = (flags & 16) != 0;
    while (!in.done()) {
        const std::string_view report = in.take(in.byte());
        script.reports.emplace_back(report.begin(), report.end());
    }

    // Only the whole-file words read a file; others skip the write.
    tavik::Config config;
    config.aHexPath = workDir() + "/tarna.hex";
    config.bHexPath = workDir() + "/tarn_b.hex";
    config.replyWaitMs = 1;
    config.pause = [](unsigned) {};
    if (argument == "ua" || argument == "ub") {
        std::ofstream(argument == "ua" ? config.aHexPath : config.bHexPath, std::ios::binary | std::ios::trunc)
            .write(file.data(), static_cast<std::streamsize>(file.size()));
    }

    char* text = nullptr;
    std::size_t textSize = 0;
    std::FILE* out = open_memstream(&text, &textSize);
    static std::FILE* const err = std::fopen("/dev/null", "w");
    FUZZ_REQUIRE(out != nullptr && err != nullptr);
    ScriptedTransport transport(script, flags);
    std::vector<std::string_view> args{argument};
    if (flags & 32) args.emplace_back("sa");
    {
        tavik::Session session(transport, out, err, config);
        tavik::runCommandLine(session, args);
    }
    std::fflush(out);
    const std::string_view printed(text, textSize);

    // A success marker needs an answer from the device; a malformed argument never reaches one.
    if (script.bytesDelivered == 0) {
        FUZZ_REQUIRE(!contains(printed, conv::kALineSent));
        FUZZ_REQUIRE(!contains(printed, conv::kBLineSent));
    }
    if (contains(printed, std::string(conv::kALineFailed) + ": A-line argument") ||
        contains(printed, std::string(conv::kBLineFailed) + ": B-line argument") ||
        contains(printed, "refused, nothing sent")) {
        FUZZ_REQUIRE(transport.opens == 0);
    }
    if (args.size() == 1 && (argument == "ua" || argument == "ub")) {
        const fuzzref::Contents contents = fuzzref::contentsOf(conv::splitHexLines(file));
        if (argument == "ua") checkAPackets(script.written, contents);
        if (argument == "ub") checkBFrames(script.written, contents);
    }
    std::fclose(out);
    std::free(text);
    return 0;
}
