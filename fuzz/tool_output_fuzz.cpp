// What the front end reads in the tool's output: the marker words that steer the update and the
// "ckSum_r=" reply dumps that carry the final A checksum. Two modes, chosen by the first byte:
//  even: the final check alone; the next 5 bytes are LOCAL_CKSUM, the rest the tool's output;
//  odd:  the whole START sequence with a scripted tool whose outputs come from the input, split
//        at NUL bytes; an output starting with 0x01 counts as a run killed at its limit.
//        Bit 1 of the first byte ticks the compatibility box.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/packets.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "fuzz_check.h"
#include "quill/bundle.h"
#include "quill/front_core.h"

namespace {

bool contains(std::string_view text, std::string_view word) { return text.find(word) != std::string_view::npos; }

std::string lowerHex(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return lower;
}

// An Intel HEX record line with its checksum.
std::string record(unsigned address, unsigned type, const std::string& bytes) {
    std::string line = ":" + conv::hexByte(static_cast<std::uint8_t>(bytes.size())) +
                       conv::hexByte(static_cast<std::uint8_t>(address >> 8)) +
                       conv::hexByte(static_cast<std::uint8_t>(address)) +
                       conv::hexByte(static_cast<std::uint8_t>(type));
    unsigned sum = bytes.size() + (address >> 8) + (address & 0xFF) + type;
    for (char c : bytes) {
        line += conv::hexByte(static_cast<std::uint8_t>(c));
        sum += static_cast<std::uint8_t>(c);
    }
    return line + conv::hexByte(static_cast<std::uint8_t>(0x100 - (sum & 0xFF))) + "\r\n";
}

// tmpa.hex: 48 + 56 + 8 bytes, three packets; tmpb.hex: two lines ("retry" answers come from the
// scripted outputs: the gatherer refuses a line the tool would always answer so).
const std::string& firmwareDir() {
    static const std::string dir = [] {
        const auto d = std::filesystem::temp_directory_path() / ("fuzz_tool_output." + std::to_string(::getpid()));
        std::filesystem::create_directories(d);
        std::ofstream a(d / "tmpa.hex", std::ios::binary);
        a << record(0, 4, std::string(2, '\0'));
        for (unsigned i = 0; i < 7; ++i) a << record(16 * i, 0, std::string(16, static_cast<char>('A' + i)));
        a << record(112, 0, "tail") << record(0, 1, "");
        std::ofstream b(d / "tmpb.hex", std::ios::binary);
        b << record(0x0100, 0, std::string(16, 'b')) << record(0x0110, 0, std::string(16, '\0')) << record(0, 1, "");
        return d.string();
    }();
    return dir;
}

struct ScriptedTool final : quill::ToolRunner {
    std::string_view script;
    int runs = 0;
    std::string lastALineOutput;
    bool lastALineExited = false;
    bool sawC4 = false;
    bool sawBurn = false;  // "bb" said its frame went out
    bool sawD0 = false;    // and a status run after it reported the burn done

    quill::RunResult runCmd(const std::string& argument, std::chrono::milliseconds) override {
        FUZZ_REQUIRE(++runs < 5000);  // every wait of the sequence is bounded
        quill::RunResult r;
        const std::size_t end = script.find('\0');
        std::string_view output = script.substr(0, end);
        script = end == std::string_view::npos ? std::string_view() : script.substr(end + 1);
        if (!output.empty() && output[0] == '\x01') {
            r.end = quill::RunEnd::TimedOut;
            output.remove_prefix(1);
        }
        r.output = std::string(output);
        if (argument.size() == 130) {
            lastALineOutput = r.output;
            lastALineExited = r.end == quill::RunEnd::Exited;
        }
        if (r.end == quill::RunEnd::Exited) {
            sawC4 = sawC4 || (argument == "stb" && contains(r.output, conv::kStatusLinesHeld));
            sawD0 = sawD0 || (sawBurn && argument == "stb" && contains(r.output, conv::kStatusBurned));
            sawBurn = sawBurn || (argument == "bb" && contains(r.output, conv::kBurnSent));
        }
        return r;
    }
    std::string toolPath() const override { return "/fuzz/tavik"; }
    // One converter listed, on 1-1 (START stops at once when none is): the script answers every run.
    std::optional<quill::RunResult> listConverters(std::chrono::milliseconds) override {
        return quill::RunResult{quill::RunEnd::Exited,
                                conv::usbport::listingLine({"1-1", conv::kNormalVid, conv::kNormalPid, "hidraw0"}) +
                                    "\n" + conv::usbport::listingEndLine(1) + "\n",
                                "", ""};
    }
};

struct Quiet final : quill::Alerts, quill::Clock, quill::Log, quill::SequenceView {
    bool ticked = false;
    void alertA(const std::string&) override {}
    void pause(std::chrono::microseconds) override {}
    void log(const std::string&) override {}
    void trace(const std::string&) override {}
    void showRunningScreen() override {}
    void showStartButton() override {}
    void terminateApp() override {}
    bool compatibilityTicked() const override { return ticked; }
};

// One fuzz run updates alone.
struct Unlocked final : quill::ConverterLock {
    quill::LockAttempt acquire(const std::string&) override { return {}; }
    void release() override {}
};

void finalCheck(std::string_view input) {
    const std::string_view expected = input.substr(0, 5);
    const std::string_view output = input.substr(expected.size());
    if (!quill::finalChecksumMatches(output, expected)) return;
    // A match needs a well-formed expectation and a reply dump holding both bytes.
    FUZZ_REQUIRE(quill::parseLocalCksum(expected).has_value());
    FUZZ_REQUIRE(contains(output, conv::kChecksumDump));
    const std::string lower = lowerHex(output);
    const std::string want = lowerHex(expected);
    FUZZ_REQUIRE(contains(lower, want.substr(0, 2)) && contains(lower, want.substr(3, 2)));
}

void sequence(std::uint8_t mode, std::string_view script) {
    ScriptedTool tool;
    tool.script = script;
    Quiet quiet;
    quiet.ticked = (mode & 2) != 0;
    Unlocked lock;
    quill::FrontCore core({tool, quiet, quiet, quiet, quiet, lock}, {firmwareDir(), 1.0, 1.0, {}});
    core.readBundlePath("/fuzz/Quillmere_V123_0x1a2b.app");
    core.onClick1();
    const int status = core.state().STATUS_OF_PNG;
    FUZZ_REQUIRE(!core.isRunning());
    FUZZ_REQUIRE(status == quill::kStatusFailed || status == quill::kStatusComplete);
    if (status == quill::kStatusComplete) {
        // Success only when the loader's last reply carried the expected total (its digits in
        // either case) ...
        FUZZ_REQUIRE(tool.lastALineExited && contains(tool.lastALineOutput, conv::kChecksumDump));
        const std::string reply = lowerHex(tool.lastALineOutput);
        FUZZ_REQUIRE(contains(reply, "2b") && contains(reply, "1a"));
        // ... and, with the B code, once the device reported C4, took the burn and reported it done.
        if (quiet.ticked) FUZZ_REQUIRE(tool.sawC4 && tool.sawBurn && tool.sawD0);
    }
    for (int tick = 0; tick < 2; ++tick) (void)core.onTimer1(quiet.ticked);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        sequence(data[0], rest);
    } else {
        finalCheck(rest);
    }
    return 0;
}
