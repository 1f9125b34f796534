// A code through the loader: the whole "tarna.hex" in one run, or one packet per run.
#include "conv/hexfield.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "core/commands.h"
#include "core/firmware_file.h"
#include "core/messages.h"

namespace tavik {

namespace {

constexpr int kOnePacketTries = 10;

void showReport(Session& s) {
    std::FILE* out = s.out();
    std::fprintf(out, "\nSHOW65BYTES(): buf[0~64]= WriteReport =\n");
    for (std::size_t i = 0; i < conv::kLoaderReportSize; ++i) {
        std::fprintf(out, "%02x, ", s.outgoing()[i]);
        if (i % 16 == 0) std::fprintf(out, "\n");
    }
}

// Reply bytes 0..14, the packet-number byte marked.
void printReply(Session& s, bool markPacketNo) {
    for (std::size_t i = 0; i < 15; ++i) {
        const bool marked = markPacketNo && i == conv::loader::kReplyPacketNo;
        std::fprintf(s.out(), marked ? conv::kMarkedReportByteFormat : conv::kReportByteFormat, s.reply()[i]);
    }
}

std::uint32_t replyChecksum(const Session& s) { return s.reply()[0] + 256u * s.reply()[1]; }

// Loads a packet as the outgoing report and writes it; on failure prints why and `failure`.
bool writePacket(Session& s, const conv::LoaderReport& packet, const char* failure) {
    s.load(packet);
    if (s.writeReport(conv::kLoaderReportSize) == static_cast<int>(conv::kLoaderReportSize)) return true;
    s.reportWriteFailure();
    std::fprintf(s.out(), "%s\n", failure);
    return false;
}

}  // namespace

std::optional<std::string> checkALineArgument(std::string_view text) {
    const std::size_t digits = 2 * conv::kLoaderReportSize;
    if (text.size() < digits) {
        return std::string(conv::kALineFailed) + ": A-line argument has " + std::to_string(text.size()) +
               " characters, " + std::to_string(digits) + " hexadecimal digits are needed";
    }
    for (std::size_t i = 0; i < digits; ++i) {
        if (!conv::isHexDigit(text[i])) {
            return std::string(conv::kALineFailed) + ": A-line argument holds a non-hex character at position " +
                   std::to_string(i + 1);
        }
    }
    return std::nullopt;
}

AcodeFile readAcodeFile(Session& s) {
    auto file = gatherFirmwareFile(s, s.config().aHexPath, "tarna.hex", conv::kALineFailed, conv::gatherAImage);
    return {file.state, std::move(file.gathered.image), static_cast<long>(file.size)};
}

bool updateAcode(Session& s, const AcodeFile& file) {
    std::FILE* out = s.out();
    if (file.state != FileState::Ready) {
        std::fprintf(out, "fopen() Acode fail\n");
        return false;
    }
    std::fprintf(out, "fopen(): found .../Build/Products/Debug/tarna.hex\n");
    std::fprintf(out, "fsize=%ld\n", file.size);
    const conv::AImage& image = file.image;
    const std::vector<conv::LoaderReport> packets = conv::buildAPackets(image);

    std::fprintf(out, "============ eof file, start update A ==========\n");
    CmdWriteAndReadOne(s, conv::loader::kCmdSync);
    std::uint32_t packNo = conv::loader::kFirstAPacketNo;

    // First packet: command, number, total and 48 image bytes.
    std::fprintf(out, "(txt in file)\n");
    for (std::size_t i = 0; i < conv::loader::kFirstImageBytes; ++i) {
        if (i == 16 || i == 32) std::fprintf(out, "\n");
        std::fprintf(out, "%02x, ", image.bytes[i]);
    }
    std::fprintf(out, "\n");
    if (!writePacket(s, packets.front(), "!! fail to write A-code")) return false;
    showReport(s);
    if (!READ_PKNO_FROM_FW(s, packNo + 1)) return false;
    packNo += 2;
    std::fprintf(out, "=============================== Above is 1st pkg of upg A\n");
    s.pause(5);

    // Full continuation packets of 56 image bytes, each checked against the loader's checksum.
    std::size_t pos = conv::loader::kFirstImageBytes;
    for (std::size_t k = 1; k + 1 < packets.size(); ++k) {
        std::fprintf(out, "(txt in file)\n");
        for (std::size_t i = 0; i < conv::loader::kContinuationBytes; ++i) {
            if (i == 16 || i == 32 || i == 48) std::fprintf(out, "\n");
            std::fprintf(out, "@%02x,#%02x ", image.bytes[pos + i], packets[k][1 + conv::loader::kData + i]);
        }
        pos += conv::loader::kContinuationBytes;
        s.pause(1);
        if (!writePacket(s, packets[k], "!! fail to write A-code")) return false;
        showReport(s);
        if (!READ_PKNO_FROM_FW(s, packNo + 1)) return false;
        packNo += 2;
        const std::uint32_t written = conv::packetChecksum(packets[k]);
        std::fprintf(out, "ckSum_w=%04x\n", written);
        messages::print(out, conv::kChecksumDump);
        printReply(s, true);
        std::fprintf(out, "...(more)\n");
        if (written != replyChecksum(s)) {
            for (int i = 0; i < 3; ++i) {
                std::fprintf(out, "\n !! checksum (0x%02x%02x) error , quit program !!\n", s.reply()[1], s.reply()[0]);
            }
            return false;
        }
        std::fprintf(out, "=====================================================\n");
        s.pause(5);
    }

    // Last packet: the 0..55 bytes left.
    const std::size_t left = image.bytes.size() - pos;
    std::fprintf(out, "*** LAST PACK has %d bytes, packNo=%d (%04x)\n", static_cast<int>(left),
                 static_cast<int>(packNo), packNo);
    for (std::size_t i = 0; i < left; ++i) std::fprintf(out, "%02x, ", image.bytes[pos + i]);
    if (!writePacket(s, packets.back(), "!! fail to write A-code")) return false;
    showReport(s);
    if (!READ_PKNO_FROM_FW(s, packNo + 1)) return false;
    std::fprintf(out, "ckSum_w=%04x , ", conv::packetChecksum(packets.back()));
    std::fprintf(out, "readback bufR=\n");
    printReply(s, false);
    std::fprintf(out, "...(more)\n");
    std::fprintf(out, "FINAL TOTAL CKSUM = (hi)%02x %02x\n", s.reply()[conv::loader::kReplyTotal + 1],
                 s.reply()[conv::loader::kReplyTotal]);
    std::fprintf(out, "=====================================================\n");
    s.pause(5);
    std::fprintf(out, "\ntransfered A code , done.\nyou can use 'runaprom ' to quit A\n");
    return true;
}

bool updateAcode_1line(Session& s, std::string_view text) {
    std::FILE* out = s.out();
    std::fprintf(out, "\n[tavik.exe] argv[1] to (char) array: %.*s\n", static_cast<int>(text.size()), text.data());
    // The caller has refused a malformed argument before opening the device.
    const auto packet = conv::parseALine(text);
    if (!packet) {
        messages::line(out, conv::kALineFailed);
        return false;
    }
    for (std::size_t i = 0; i < conv::kLoaderReportSize; ++i) {
        std::fprintf(out, "%.2s, ", text.data() + 2 * i);
        if (i % 16 == 0) std::fprintf(out, "\n");
    }
    if (!writePacket(s, *packet, ("WRITE65() " + std::string(conv::kALineFailed)).c_str())) return false;
    const std::uint32_t written = conv::packetChecksum(*packet);
    showReport(s);
    std::fprintf(out, "ckSum_w=%04x\n", written);

    // A loader answers each packet once: the first reply may take as long as the loader needs,
    // but after a wrong one no other is coming, so later reads are bounded.
    for (int attempt = 0; attempt < kOnePacketTries; ++attempt) {
        s.clearReply();
        const int got = s.readReply(conv::kLoaderReportSize, attempt == 0 ? hid::kBlocking : s.config().replyWaitMs);
        if (got < 0) {
            messages::linkLost(out, "no reply can come");
            break;
        }
        if (got == 0 && attempt > 0) {
            std::fprintf(out, "ckSum_r: no further reply within %d ms\n", s.config().replyWaitMs);
            break;
        }
        // A report too short to hold the checksum proves nothing (the cleared buffer would
        // match an all-zero packet) and uses up a try.
        if (got < static_cast<int>(conv::loader::kReplyChecksum + 2)) {
            std::fprintf(out, "ckSum_r: report of %d bytes holds no checksum\n", got);
            continue;
        }
        messages::print(out, conv::kChecksumDump);
        printReply(s, true);
        std::fprintf(out, " ...(more readback)\n");
        if (replyChecksum(s) == written) {
            messages::line(out, conv::kALineSent);
            return true;
        }
    }
    messages::line(out, std::string(conv::kALineFailed) + " ckSum");
    return false;
}

}  // namespace tavik
