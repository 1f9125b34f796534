// Loader commands: the synchronise/status exchange, run application, and the packet-number wait.
#include "conv/packets.h"
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
        s.g_packno = 1;
        const conv::LoaderReport packet = conv::makeSyncPacket();
        std::copy(packet.begin(), packet.end(), s.buf.begin());
        ++s.g_packno;
    } else {
        const conv::LoaderReport packet = conv::makeLoaderCommand(static_cast<std::uint8_t>(cmd & 0xFF));
        std::copy(packet.begin(), packet.end(), s.buf.begin());
    }

    if (s.writeBuf(conv::kLoaderReportSize) <= 0) return false;
    std::fprintf(out, "writeN in CmdWriteAndReadOne() = %d (", s.res);
    for (int i = 0; i < 10; ++i) std::fprintf(out, "%02x ", s.buf[i]);
    std::fprintf(out, " ...\n");

    if (s.readBufR(conv::kLoaderReportSize) <= 0) return false;
    std::fprintf(out, "in CmdWriteAndReadOne(), readN  = %d (", s.res);
    for (int i = 0; i < 10; ++i) std::fprintf(out, "%02x ", s.bufR[i]);
    std::fprintf(out, "...");
    std::fprintf(out, "bufR[63,64]=%02x %02x\n", s.bufR[63], s.bufR[64]);

    if (sync) std::fprintf(out, "############## After sync-cmd : buf[4:5] should be 02 00 ############ \n\n");
    return true;
}

bool statusA(Session& s) {
    CmdWriteAndReadOne(s, conv::loader::kCmdStatus);
    return true;
}

int RunApRom(Session& s) {
    CmdWriteAndReadOne(s, conv::loader::kCmdStatus);
    s.g_packno = le32(&s.bufR[conv::loader::kReplyPacketNo]);
    std::fprintf(s.out(), "in RunApRom(): USB Side tell me packNo = %04x\n", s.g_packno);
    ++s.g_packno;
    const conv::LoaderReport packet = conv::makeLoaderCommand(conv::loader::kCmdRunAprom, s.g_packno);
    std::copy(packet.begin(), packet.end(), s.buf.begin());
    return s.writeBuf(conv::kLoaderReportSize);
}

bool READ_PKNO_FROM_FW(Session& s, std::uint32_t expected) {
    std::FILE* out = s.out();
    std::fprintf(out, "WAIT READ_PKNO_FROM_FW(%04x)...", expected);
    for (;;) {
        s.readBufR(conv::kLoaderReportSize);
        while (s.res == 0) {
            s.pause(300);
            std::fprintf(out, "readed 0 byte, retry ...\n");
            s.readBufR(conv::kLoaderReportSize);
        }
        if (s.res < 0) {
            // bufR still holds an older reply: comparing it again could never end.
            std::fprintf(out, "(hid_read() ret:%d)\n", s.res);
            messages::linkLost(out, "stopped waiting for the packet number");
            return false;
        }
        std::fprintf(out, "(hid_read() ret:%d) bufR[4],[5] = %02x %02x\n", s.res, s.bufR[4], s.bufR[5]);
        // A reply too short to reach the packet number leaves an older reply's bytes there.
        const bool holdsNumber = s.res >= static_cast<int>(conv::loader::kReplyPacketNo + 2);
        if (holdsNumber && s.bufR[4] + 256u * s.bufR[5] == expected) return true;
    }
}

}  // namespace tavik
