// Normal-mode commands: short device frames built in place over the report sent before, so a start
// frame sent after the mode frame carries the mode frame's tail, as the converter has always seen.
#include <algorithm>

#include "conv/packets.h"
#include "core/commands.h"

namespace tavik {

namespace {

int sendFrame(Session& s, std::uint8_t kind, std::string_view payload) {
    conv::FrameReport frame;
    std::copy_n(s.outgoing().begin(), frame.size(), frame.begin());
    conv::putFrame(frame, kind, payload);
    s.load(frame);
    return s.writeReport(conv::kFrameReportSize);
}

int sendFrame(Session& s, std::uint8_t kind, std::uint8_t payload) {
    const char byte = static_cast<char>(payload);
    return sendFrame(s, kind, std::string_view(&byte, 1));
}

int quit(Session& s, std::uint8_t firstPayload, unsigned pauseBeforeReopen) {
    sendFrame(s, conv::frame::kKindQuit, firstPayload);
    if (pauseBeforeReopen > 0) s.pause(pauseBeforeReopen);
    if (!s.openQuietly(Identity::Normal)) {
        std::fprintf(s.out(), "!! second quit frame not sent: the normal-mode device could not be opened again\n");
        return -1;
    }
    return sendFrame(s, conv::frame::kKindQuit, conv::frame::kQuitSecond);
}

}  // namespace

int SEND_QRX004Q(Session& s) { return sendFrame(s, conv::frame::kKindMode, conv::modeCode()); }

int startA(Session& s) { return sendFrame(s, conv::frame::kKindStartBurn, conv::frame::kStartA); }

int burnB(Session& s) { return sendFrame(s, conv::frame::kKindStartBurn, conv::frame::kBurnB); }

int quit41_20(Session& s) { return quit(s, conv::frame::kQuitA, 0); }

int quit42_20(Session& s) { return quit(s, conv::frame::kQuitB, 1000); }

}  // namespace tavik
