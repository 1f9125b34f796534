// B code through the normal-mode device: one 16-byte HEX line per frame, each echoed back.
#include <algorithm>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "core/commands.h"
#include "core/messages.h"

namespace tavik {

namespace {

constexpr int kEchoTries = 10;

void load(Session& s, const conv::FrameReport& frame) {
    std::copy(frame.begin(), frame.end(), s.buf.begin());
}

bool isEcho(const Session& s) { return conv::isBLineEcho(s.bufR.data(), s.bufR.size()); }

std::uint32_t frameChecksum(const Session& s) {
    return conv::checkSum(s.buf.data(), static_cast<std::int32_t>(conv::frame::kBLineChecksum));
}

}  // namespace

std::optional<std::string> checkBLineArgument(std::string_view text) {
    // Digits are expected in the address (characters 4..7) and the data (characters 10..41).
    const auto digitAt = [&](std::size_t position) { return position <= text.size() && conv::isHexDigit(text[position - 1]); };
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
    load(s, frame);
    if (conv::isRetryFrame(frame)) {
        messages::line(out, conv::kBLineRetry);
        return true;
    }
    const std::uint32_t written = frameChecksum(s);
    std::fprintf(out, "cks_w=%04x\n", written);
    if (s.writeBuf(conv::kFrameReportSize) != static_cast<int>(conv::kFrameReportSize)) {
        s.reportWriteFailure();
        messages::line(out, conv::kBLineFailed);
        return false;
    }
    for (int attempt = 0; attempt < kEchoTries; ++attempt) {
        // Cleared so that a short report cannot pass for an echo with an older report's bytes.
        s.bufR.fill(0);
        if (s.readBufR(s.bufR.size()) <= 0) {
            if (s.res < 0) messages::linkLost(out, "no echo can come");
            messages::line(out, "hid_read() " + std::string(conv::kBLineFailed));
            return false;
        }
        if (!isEcho(s)) continue;
        // An echo cut before its checksum field would be summed over the cleared buffer.
        if (s.res < static_cast<int>(conv::frame::kBLineChecksum)) {
            std::fprintf(out, "echo of %d bytes is cut short\n", s.res);
            messages::line(out, conv::kBLineFailed);
            return false;
        }
        const std::uint32_t echoed = conv::echoChecksum(s.bufR.data());
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
    BcodeFile file;
    const conv::FileBytes read = conv::readFirmwareFile(s.config().bHexPath);
    if (read.status == conv::FileBytes::Status::Missing) return file;
    conv::BLinesResult gathered = read.status == conv::FileBytes::Status::Read
                                      ? conv::gatherBLines(conv::splitHexLines(read.bytes))
                                      : conv::BLinesResult{{}, conv::HexError{0, read.why}};
    if (!gathered.ok()) {
        messages::fileRefused(s.out(), "tarn_b.hex", gathered.error->message(), conv::kBLineFailed);
        file.state = FileState::Refused;
        return file;
    }
    file.state = FileState::Ready;
    file.lines = std::move(gathered.lines);
    return file;
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

        load(s, conv::makeBLineFrame(*parsed));
        const std::uint32_t written = frameChecksum(s);
        std::fprintf(out, "ckSum_w=%04x,L:%02x,H:%02x\n", written, s.buf[conv::frame::kBLineChecksum],
                     s.buf[conv::frame::kBLineChecksum + 1]);
        if (s.writeBuf(conv::kFrameReportSize) != static_cast<int>(conv::kFrameReportSize)) {
            s.reportWriteFailure();
            std::fprintf(out, "!!! fail to write B-code !!!\n");
            return false;
        }
        for (int attempt = 0; attempt < kEchoTries; ++attempt) {
            const int got = s.readBufR(s.bufR.size());
            if (got < 0) {
                messages::linkLost(out, "B-code transfer stopped");
                return false;
            }
            if (got > 0 && isEcho(s)) {
                std::fprintf(out, "### hid_read(%d)=", got);
                for (int i = 0; i < 10; ++i) std::fprintf(out, "%02x ", s.bufR[i]);
                std::fprintf(out, "...,     ckSum_r=%04x\n\n", conv::echoChecksum(s.bufR.data()));
                break;
            }
        }
    }
    return true;
}

}  // namespace tavik
