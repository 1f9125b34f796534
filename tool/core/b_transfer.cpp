// B code through the normal-mode device: one 16-byte HEX line per frame, each echoed back.
#include <algorithm>
#include <chrono>
#include <optional>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "core/commands.h"
#include "core/firmware_file.h"
#include "core/messages.h"

namespace tavik {

namespace {

constexpr int kEchoTries = 10;
// A full-speed device sends at most one report per 1 ms frame.
constexpr std::chrono::milliseconds kUsbFrame{1};

bool isEcho(const Session& s) { return conv::isBLineEcho(s.reply().data(), s.reply().size()); }

// The reads for the echo of a line, ten, counted from when the converter took the line. A write
// that returns late (tavik held off the CPU after it found the queue empty, or the transfer
// waiting) finds the reports the converter sent meanwhile queued ahead of the echo: up to one a
// frame of that time, those found queued, read without waiting, use up none of the ten.
class EchoReads {
public:
    EchoReads(Session& s, std::chrono::steady_clock::duration writeTook)
        : s_(s), early_(std::min<long long>(kHidrawQueuedReports, writeTook / kUsbFrame)) {}

    // Reads the next report into the cleared reply and returns what the read returned, or nothing
    // once the ten reads are used up.
    std::optional<int> next() {
        while (early_ > 0) {
            s_.clearReply();
            const int got = s_.readReply(s_.reply().size(), 0);
            if (got > 0) {
                --early_;
                return got;
            }
            early_ = 0;  // the queue is empty: what comes from now on came after the line
            if (got < 0) return got;
        }
        if (left_ == 0) return std::nullopt;
        --left_;
        s_.clearReply();
        return s_.readReply(s_.reply().size());
    }

private:
    Session& s_;
    long long early_;
    int left_ = kEchoTries;
};

// Drops what is queued, writes the loaded line and returns how long the write took from the
// moment the queue was last looked at and found empty (a pause anywhere after that look counts);
// nothing when the write failed.
std::optional<std::chrono::steady_clock::duration> writeLine(Session& s) {
    auto emptied = s.now();
    s.discardQueued(&emptied);
    if (s.writeReport(conv::kFrameReportSize) != static_cast<int>(conv::kFrameReportSize)) return std::nullopt;
    return s.now() - emptied;
}

// The checksum a B-line frame carries: over the bytes before its checksum field.
std::uint32_t frameChecksum(const conv::FrameReport& frame) {
    return conv::checkSum(frame.data(), static_cast<std::int32_t>(conv::frame::kBLineChecksum));
}

}  // namespace

std::optional<std::string> checkBLineArgument(std::string_view text) {
    // Digits are expected in the address (characters 4..7) and the data (characters 10..41).
    const auto digitAt = [&](std::size_t position) {
        return position <= text.size() && conv::isHexDigit(text[position - 1]);
    };
    for (std::size_t position = 4; position <= 41; ++position) {
        if (position == 8 || position == 9) continue;
        if (!digitAt(position)) {
            return std::string(conv::kBLineFailed) + ": B-line argument holds a non-hex character at position " +
                   std::to_string(position);
        }
    }
    return std::nullopt;
}

bool updateBcode_1line(Session& s, std::string_view text) {
    std::FILE* out = s.out();
    if (text.size() != conv::kBLineLength) {
        messages::line(out, "len " + std::string(conv::kBLineFailed));
        return false;
    }
    // The caller has refused a 45-character argument that is malformed before opening the device.
    const auto parsed = conv::parseBLine(text);
    if (!parsed) {
        messages::line(out, conv::kBLineFailed);
        return false;
    }
    const conv::FrameReport frame = conv::makeBLineFrame(*parsed);
    s.load(frame);
    if (conv::isRetryFrame(frame)) {
        messages::line(out, conv::kBLineRetry);
        return true;
    }
    const std::uint32_t written = frameChecksum(frame);
    std::fprintf(out, "cks_w=%04x\n", written);
    // What is queued before the write cannot be its echo: dropped, it uses up none of the tries.
    const auto writeTook = writeLine(s);
    if (!writeTook) {
        s.reportWriteFailure();
        messages::line(out, conv::kBLineFailed);
        return false;
    }
    // Each reply is cleared first, so that a short report cannot pass for an echo with an older
    // report's bytes.
    EchoReads reads(s, *writeTook);
    while (const std::optional<int> got = reads.next()) {
        if (*got <= 0) {
            if (s.lastResult() < 0) messages::linkLost(out, "no echo can come");
            messages::line(out, "hid_read() " + std::string(conv::kBLineFailed));
            return false;
        }
        if (!isEcho(s)) continue;
        // An echo cut before its checksum field would be summed over the cleared buffer.
        if (s.lastResult() < static_cast<int>(conv::frame::kBLineChecksum)) {
            std::fprintf(out, "echo of %d bytes is cut short\n", s.lastResult());
            messages::line(out, conv::kBLineFailed);
            return false;
        }
        const std::uint32_t echoed = conv::echoChecksum(s.reply().data());
        std::fprintf(out, "cks_r=%04x\n", echoed);
        if (echoed == written) {
            messages::line(out, conv::kBLineSent);
            return true;
        }
        messages::line(out, conv::kBLineFailed);
        return false;
    }
    return true;
}

BcodeFile readBcodeFile(Session& s) {
    auto file = gatherFirmwareFile(s, s.config().bHexPath, "tarn_b.hex", conv::kBLineFailed, conv::gatherBLines);
    return {file.state, std::move(file.gathered.lines)};
}

bool updateBcode(Session& s, const BcodeFile& file) {
    std::FILE* out = s.out();
    if (file.state != FileState::Ready) {
        std::fprintf(out, "fopen B Code fail\n");
        return false;
    }
    int lineNo = 0;
    for (const std::string& line : file.lines) {
        const std::string_view text = line;
        // Every line was checked when the file was gathered; one that cannot be read is not sent.
        const auto parsed = conv::parseBLine(text);
        if (text.size() != conv::kBLineLength || !parsed) {
            std::fprintf(out, "line%03d cannot be read\n", lineNo);
            messages::line(out, conv::kBLineFailed);
            return false;
        }
        std::fprintf(out, "@%.4s, %.32s\n", text.data() + 3, text.data() + 9);
        for (std::uint8_t b : parsed->data) std::fprintf(out, "%02x ", b);
        std::fprintf(out, "line%03d,", lineNo++);

        const conv::FrameReport frame = conv::makeBLineFrame(*parsed);
        s.load(frame);
        const std::uint32_t written = frameChecksum(frame);
        std::fprintf(out, "ckSum_w=%04x,L:%02x,H:%02x\n", written, frame[conv::frame::kBLineChecksum],
                     frame[conv::frame::kBLineChecksum + 1]);
        // As for one line: what is queued now, a late echo of the line before included, is no echo of this one.
        const auto writeTook = writeLine(s);
        if (!writeTook) {
            s.reportWriteFailure();
            std::fprintf(out, "!!! fail to write B-code !!!\n");
            return false;
        }
        EchoReads reads(s, *writeTook);
        while (const std::optional<int> next = reads.next()) {
            const int got = *next;
            if (got < 0) {
                messages::linkLost(out, "B-code transfer stopped");
                return false;
            }
            if (got > 0 && isEcho(s)) {
                std::fprintf(out, "### hid_read(%d)=", got);
                messages::bytes(out, s.reply(), 10);
                std::fprintf(out, "...,     ckSum_r=%04x\n\n", conv::echoChecksum(s.reply().data()));
                break;
            }
        }
    }
    return true;
}

}  // namespace tavik
