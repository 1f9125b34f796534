// The A and B transfers through the tool, one run per packet or line.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "conv/commands.h"
#include "conv/hexfield.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "conv/toolrun.h"
#include "quill/bundle.h"
#include "quill/front_core.h"
#include "run_evidence.h"

namespace quill {
namespace {

using namespace evidence;

constexpr std::string_view kRuler = "============================================================================";
constexpr std::string_view kShortRuler = "=====================================================";
constexpr std::string_view kRemainRuler = "====================================================";

// The 48 (first packet) or up to 56 image bytes of a report, as the trace shows them.
std::string traceBytes(const conv::LoaderReport& report, std::size_t from, std::size_t count, const char* format) {
    std::string text;
    char cell[8];
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0 && i % 16 == 0) text += '\n';
        std::snprintf(cell, sizeof cell, format, report[from + i]);
        text += cell;
    }
    return text;
}

// The line of a tool output that holds "uafail" (e.g. "uafail ckSum"), without its line end; "no
// acknowledgement" when there is none.
std::string failLine(std::string_view output) {
    const std::size_t at = output.find(conv::kALineFailed);
    if (at == std::string_view::npos) return "no acknowledgement";
    const std::size_t start = output.rfind('\n', at);
    const std::size_t from = start == std::string_view::npos ? 0 : start + 1;
    std::string_view line = output.substr(from, output.find('\n', at) - from);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    return std::string(line);
}

// "ll hh", as the bundle's name carries a total.
std::string checksumText(unsigned total) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x %02x", total & 0xFF, (total >> 8) & 0xFF);
    return text;
}

std::string bLine(std::size_t n, std::size_t count) {
    return "B line " + std::to_string(n) + " of " + std::to_string(count);
}

}  // namespace

std::chrono::milliseconds runLimitFor(std::string_view argument) {
    if (const conv::command::Word* word = conv::command::find(argument)) return word->limit;
    return argument.size() > 10 ? conv::command::kFirmwareLimit : conv::command::kReplyLimit;
}

std::string alertFileMissing(char code, std::string_view path) {
    return std::string("fopen ") + code + "code fail (" + std::string(path) + ")";
}

std::string alertFileRefused(char code, std::string_view path, std::string_view why) {
    return std::string(1, code) + "code file refused (" + std::string(path) + "): " + std::string(why);
}

std::string alertToolUnavailable(std::string_view toolPath, std::string_view reason) {
    return "Cannot start tavik (" + std::string(toolPath) + "): " + std::string(reason);
}

std::optional<UnopenableDevice> findUnopenableDevice(std::string_view errorOutput) {
    for (std::size_t at = errorOutput.find(conv::kCannotOpenStart); at != std::string_view::npos;
         at = errorOutput.find(conv::kCannotOpenStart, at + 1)) {
        if (at != 0 && errorOutput[at - 1] != '\n') continue;
        std::string_view line = errorOutput.substr(at + conv::kCannotOpenStart.size());
        line = line.substr(0, line.find('\n'));
        const std::size_t present = line.find(conv::kCannotOpenPresent);
        const std::size_t end = line.find(conv::kCannotOpenEnd);
        if (present == std::string_view::npos || end == std::string_view::npos || end < present) continue;
        const std::size_t pathAt = present + conv::kCannotOpenPresent.size();
        return UnopenableDevice{std::string(line.substr(0, present)), std::string(line.substr(pathAt, end - pathAt))};
    }
    return std::nullopt;
}

std::string alertCannotOpen(const UnopenableDevice& device) {
    return "The converter " + device.ids + " is plugged in at " + device.path +
           " but this user may not open it. Install the udev rule 70-quillmere-converter.rules (it comes with the "
           "Quillmere package, in /usr/lib/udev/rules.d), then unplug the converter and plug it in again.";
}

std::string alertRetryBound(int lineNumber, std::string_view line) {
    std::string shown(line.substr(0, line.find_first_of("\r\n")));
    return "Bcode line " + std::to_string(lineNumber) + " (" + shown + ") still answered retry after " +
           std::to_string(kMaxBLineResends) + " resends";
}

namespace {

// The totals (reply bytes 8 low, 9 high) of every whole "ckSum_r=" reply dump in `output`, in order.
std::vector<unsigned> finalChecksums(std::string_view output) {
    std::vector<unsigned> totals;
    for (std::size_t at = output.find(conv::kChecksumDump); at != std::string_view::npos;
         at = output.find(conv::kChecksumDump, at + 1)) {
        // "ckSum_r=" then reply bytes 0..14 as "%02x " (byte 4 as "*%02x ") on one line.
        std::string_view rest = output.substr(at + conv::kChecksumDump.size());
        rest = rest.substr(0, rest.find('\n'));
        int index = 0;
        int low = -1, high = -1;
        std::size_t pos = 0;
        while (index <= 9) {
            while (pos < rest.size() && rest[pos] == ' ') ++pos;
            if (pos < rest.size() && index == 4 && rest[pos] == '*') ++pos;
            const std::size_t end = rest.find(' ', pos);
            const std::string_view token = rest.substr(pos, end == std::string_view::npos ? end : end - pos);
            const auto value = token.size() == 2 ? conv::parseHexByte(token) : std::nullopt;
            if (!value) break;
            if (index == 8) low = *value;
            if (index == 9) high = *value;
            ++index;
            if (end == std::string_view::npos) break;
            pos = end;
        }
        if (low >= 0 && high >= 0) totals.push_back(static_cast<unsigned>(low | (high << 8)));
    }
    return totals;
}

}  // namespace

bool finalChecksumMatches(std::string_view output, std::string_view localCksum) {
    const auto expected = parseLocalCksum(localCksum);
    const std::vector<unsigned> totals = finalChecksums(output);
    return expected && std::find(totals.begin(), totals.end(), *expected) != totals.end();
}

std::optional<unsigned> lastFinalChecksum(std::string_view output) {
    const std::vector<unsigned> totals = finalChecksums(output);
    return totals.empty() ? std::nullopt : std::optional<unsigned>(totals.back());
}

std::string FrontCore::firmwarePath(std::string_view fileName) const {
    return config_.firmwareDir + "/" + std::string(fileName);
}

Step FrontCore::readFirmware(char code, std::string_view name, std::string& bytes) {
    const std::string path = firmwarePath(name);
    conv::FileBytes file = conv::readFirmwareFile(path);
    const bool read = file.status == conv::FileBytes::Status::Read;
    ports_.log.firmwareRead(std::string(name), read ? std::optional<std::string>(file.bytes) : std::nullopt, file.why);
    if (file.status == conv::FileBytes::Status::Missing) {
        ports_.log.trace(code == 'A' ? "fopen(Acode) fail\n" : "fopen Bcode fail\n");
        return fail(std::string(name) + " cannot be opened (" + path + ")", alertFileMissing(code, path));
    }
    if (!read) return refuseFirmware(code, name, file.why);
    bytes = std::move(file.bytes);
    return Step::done();
}

Step FrontCore::refuseFirmware(char code, std::string_view name, const std::string& why) {
    return fail(std::string(name) + " refused: " + why, alertFileRefused(code, firmwarePath(name), why));
}

Step FrontCore::loadA(conv::AImage& image) {
    ports_.log.log("path of Acode : " + firmwarePath("tmpa.hex"));
    std::string bytes;
    if (Step read = readFirmware('A', "tmpa.hex", bytes); !read.ok()) return read;
    ports_.log.trace("fsize=" + std::to_string(bytes.size()) + "\n");
    conv::AImageResult gathered = conv::gatherAImage(conv::splitHexLines(bytes));
    if (!gathered.ok()) return refuseFirmware('A', "tmpa.hex", gathered.error->message());
    image = std::move(gathered.image);
    return Step::done();
}

Step FrontCore::loadB(std::vector<std::string>& lines) {
    std::string bytes;
    if (Step read = readFirmware('B', "tmpb.hex", bytes); !read.ok()) return read;
    conv::BLinesResult gathered = conv::gatherBLines(conv::splitHexLines(bytes));
    if (!gathered.ok()) return refuseFirmware('B', "tmpb.hex", gathered.error->message());
    lines = std::move(gathered.lines);
    return Step::done();
}

Step FrontCore::sendAPackets(const conv::AImage& image) {
    const auto packets = conv::buildAPackets(image);
    state_.transferSent = 0;
    // Each run names the one that follows, so the runner may have it ready.
    std::vector<std::string> arguments;
    for (const auto& packet : packets) arguments.push_back(conv::formatALine(packet));

    ports_.log.trace(std::string(kRuler) + " eof reading file, then send cmd-sync, then update A\n\n");
    pauseFor(std::chrono::seconds(1));
    ports_.log.trace("GUI: sending sync-cmd\n");
    step_ = "sync";
    // A loader that does not answer sync takes nothing.
    if (const RunResult sync = run("sync", arguments.front()); !loaderAnswered(sync)) {
        return Step::failed(sync.end == RunEnd::TimedOut ? "the loader did not answer sync in time"
                                                         : runFailure(sync, " got no answer from the loader"));
    }

    ports_.log.trace("(in GUI, txt from file)\n" + traceBytes(packets.front(), 17, 48, " %02x,") + "\n");
    ports_.log.trace("send to tavik:" + arguments.front() + "\n");
    const std::string ofAll = " of " + std::to_string(packets.size());
    step_ = "A packet 1" + ofAll;
    if (const RunResult first = run(arguments.front(), arguments[1]); !acknowledged(first))
        return Step::failed(runFailure(first, " was not acknowledged (" + failLine(first.output) + ")"));
    state_.transferSent = 1;
    ports_.log.trace(std::string(kRuler) + " Above is 1st pkg of upg A\n");
    pauseFor(std::chrono::microseconds(5));

    std::uint64_t position = conv::loader::kFirstImageBytes;
    const std::uint64_t total = image.bytes.size();
    for (std::size_t k = 1; k + 1 < packets.size(); ++k) {
        position += conv::loader::kContinuationBytes;
        ports_.log.trace(traceBytes(packets[k], 9, 56, "%02x, "));
        pauseFor(std::chrono::microseconds(1));
        ports_.log.trace("\nsend to tavik:" + arguments[k] + "\n");
        step_ = "A packet " + std::to_string(k + 1) + ofAll;
        const RunResult result = run(arguments[k], arguments[k + 1]);
        ports_.log.trace(std::string(kRemainRuler) + " " + std::to_string(total) + " remain " +
                         std::to_string(total - position) + "\n");
        if (!acknowledged(result))
            return Step::failed(runFailure(result, " was not acknowledged (" + failLine(result.output) + ")"));
        state_.STATUS_OF_PNG = static_cast<int>(std::min<std::uint64_t>(position * 19 / total, 19));
        state_.transferSent = k + 1;
        // The trace's own progress figure, from the next packet's number; it has no meaning for an
        // image under 150 bytes (its divisor would be 0).
        if (const std::uint64_t hundredFifties = total / 150; hundredFifties > 0) {
            const double nextPacketNo = conv::loader::kFirstAPacketNo + 2.0 * static_cast<double>(k + 1);
            char pbar[32];
            std::snprintf(pbar, sizeof pbar, "(pbar,%02d)",
                          static_cast<int>(nextPacketNo / 5.4 * 100 / static_cast<double>(hundredFifties)));
            ports_.log.trace(pbar);
        }
    }

    const conv::LoaderReport& last = packets.back();
    const std::size_t lastBytes = total - position;
    const unsigned packetNo = last[5] | (last[6] << 8);
    char head[96];
    std::snprintf(head, sizeof head, "*** LAST PACK has %zu bytes, packNo=%u(0x%04x)\n", lastBytes, packetNo, packetNo);
    ports_.log.trace(head + traceBytes(last, 9, lastBytes, "%02x, "));
    ports_.log.trace("\nsend to tavik:" + arguments.back() + "\n");
    step_ = "A packet " + std::to_string(packets.size()) + ofAll;
    // The last packet is proven by the total in the loader's reply, not by its own acknowledgement.
    const RunResult result = run(arguments.back());
    if (!ranToEnd(result) || converterGone(result)) return Step::failed(runFailure(result, ""));
    ports_.log.trace(std::string(kShortRuler) + " (GUI Says) Above Sended last pack\n");
    pauseFor(std::chrono::microseconds(5));
    ports_.log.trace(
        "###  NOW Compare final-checkSum (\xE6\xAF\x94\xE8\xBC\x83\xE6\xAA\x94\xE5\x90\x8D\xE5\xB0\xBE\xE9\x83\xA8)\n");

    if (finalChecksumMatches(result.output, state_.LOCAL_CKSUM)) {
        ports_.log.trace("### final checkSum SUCCESS!! (" + state_.LOCAL_CKSUM + ")\n");
        return Step::done();
    }
    ports_.log.trace("### final checkSum ERROR !!! expected " + state_.LOCAL_CKSUM + " in:\n" + result.output + "\n");
    const std::optional<unsigned> loaders = lastFinalChecksum(result.output);
    std::string cause = "the bundle's name carries no A checksum to compare the loader's with";
    if (parseLocalCksum(state_.LOCAL_CKSUM)) {
        cause = loaders ? "the loader's final A checksum is " + checksumText(*loaders) + ", not the bundle's " +
                              state_.LOCAL_CKSUM + " (low byte first)"
                        : "the loader's reply to the last A packet carries no final A checksum to compare with the "
                          "bundle's " +
                              state_.LOCAL_CKSUM;
    }
    return fail(std::move(cause), std::string(kAlertFinalChecksum));
}

Step FrontCore::sendBLines(const std::vector<std::string>& lines) {
    const std::size_t count = lines.size();
    state_.transferSent = 0;
    for (std::size_t n = 1; n <= count; ++n) {
        const std::string& line = lines[n - 1];
        char head[32];
        std::snprintf(head, sizeof head, "\n(line%03zu)", n - 1);
        ports_.log.trace(head + line);
        // Scaled to this file, and below "complete" until the last line has gone.
        state_.STATUS_OF_PNG = static_cast<int>(n * kStatusLastProgress / count);

        const std::string_view next = n < count ? std::string_view(lines[n]) : std::string_view();
        step_ = bLine(n, count);
        RunResult result = run(line, next);
        for (int resends = 0; ranToEnd(result) && contains(result.output, conv::kBLineRetry); ++resends) {
            if (resends == kMaxBLineResends)
                return fail(step_ + " still answered retry after " + std::to_string(kMaxBLineResends) + " resends",
                            alertRetryBound(static_cast<int>(n), line));
            result = run(line, next);
        }
        // Only an echo that matched ("ubok") proves the line arrived; "ubfail", a killed or crashed
        // run, an absent device and ten reports without the echo all leave the B code incomplete.
        if (!ranToEnd(result) || !contains(result.output, conv::kBLineSent)) {
            ports_.log.trace("\nBcode line " + std::to_string(n) + " not confirmed by the device\n");
            return Step::failed(runFailure(result, " was not echoed"));
        }
        state_.transferSent = n;
    }
    return Step::done();
}

}  // namespace quill
