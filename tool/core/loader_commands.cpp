// Loader commands: the synchronise/status exchange, run application, and the packet-number wait.
#include "conv/packets.h"
#include "conv/toolrun.h"
#include "core/commands.h"
#include "core/messages.h"

namespace tavik {

namespace {
std::uint32_t le32(const std::uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}
}  // namespace

bool CmdWriteAndReadOne(Session& s, std::uint32_t cmd) {
    std::FILE* out = s.out();
    const bool sync = (cmd & 0xFF) == conv::loader::kCmdSync;
    // The "sizeof(DWORD)" the header names is always 4.
    if (sync) {
        std::fprintf(out, "\n### sizeof(DWORD) = %lu , SEND 0xa4(SYNC CMD) ###\n\n", 4UL);
    } else {
        std::fprintf(out, "### sizeof(DWORD) = %lu , SEND 0xa6(statusA CMD) ###\n\n", 4UL);
    }
    if (sync) {
        // Sync carries packet number 1; the loader answers with the next.
        s.load(conv::makeSyncPacket());
        s.setPacketNo(2);
    } else {
        s.load(conv::makeLoaderCommand(static_cast<std::uint8_t>(cmd & 0xFF)));
    }

    if (s.writeReport(conv::kLoaderReportSize) <= 0) return false;
    std::fprintf(out, "writeN in CmdWriteAndReadOne() = %d (", s.lastResult());
    messages::bytes(out, s.outgoing(), 10);
    std::fprintf(out, " ...\n");

    if (s.readReply(conv::kLoaderReportSize) <= 0) return false;
    messages::print(out, conv::kLoaderReplied);
    std::fprintf(out, "%d (", s.lastResult());
    messages::bytes(out, s.reply(), 10);
    std::fprintf(out, "...");
    std::fprintf(out, "bufR[63,64]=%02x %02x\n", s.reply()[63], s.reply()[64]);

    if (sync) std::fprintf(out, "############## After sync-cmd : buf[4:5] should be 02 00 ############ \n\n");
    return true;
}

bool statusA(Session& s) {
    CmdWriteAndReadOne(s, conv::loader::kCmdStatus);
    return true;
}

int RunApRom(Session& s) {
    CmdWriteAndReadOne(s, conv::loader::kCmdStatus);
    // The loader's reply tells the packet number it has reached; the command carries the next.
    s.setPacketNo(le32(&s.reply()[conv::loader::kReplyPacketNo]));
    std::fprintf(s.out(), "in RunApRom(): USB Side tell me packNo = %04x\n", s.packetNo());
    s.setPacketNo(s.packetNo() + 1);
    s.load(conv::makeLoaderCommand(conv::loader::kCmdRunAprom, s.packetNo()));
    return s.writeReport(conv::kLoaderReportSize);
}

bool READ_PKNO_FROM_FW(Session& s, std::uint32_t expected) {
    std::FILE* out = s.out();
    std::fprintf(out, "WAIT READ_PKNO_FROM_FW(%04x)...", expected);
    for (;;) {
        s.readReply(conv::kLoaderReportSize);
        while (s.lastResult() == 0) {
            s.pause(300);
            std::fprintf(out, "readed 0 byte, retry ...\n");
            s.readReply(conv::kLoaderReportSize);
        }
        if (s.lastResult() < 0) {
            // The reply still holds an older report: comparing it again could never end.
            std::fprintf(out, "(hid_read() ret:%d)\n", s.lastResult());
            messages::linkLost(out, "stopped waiting for the packet number");
            return false;
        }
        const ReportBuffer& reply = s.reply();
        std::fprintf(out, "(hid_read() ret:%d) bufR[4],[5] = %02x %02x\n", s.lastResult(), reply[4], reply[5]);
        // A reply too short to reach the packet number leaves an older reply's bytes there.
        const bool holdsNumber = s.lastResult() >= static_cast<int>(conv::loader::kReplyPacketNo + 2);
        if (holdsNumber && reply[4] + 256u * reply[5] == expected) return true;
    }
}

}  // namespace tavik
