// tavik-hold: keeps the converter open while an update runs (see hold/hold_loop.h). Started by
// the front end with a pipe as standard input; it ends when that pipe closes, on SIGTERM or
// SIGINT, or when the front end dies. It prints nothing and never touches the device's data.
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "conv/emuclient.h"
#include "conv/usbport.h"
#include "conv/version.h"
#include "hold/hold_loop.h"
#include "hold/system_port.h"

namespace {
constexpr int kPollMs = 20;  // how often to look for the device while none is present
}

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts(
            "usage: tavik-hold\n"
            "Holds the converter open until standard input closes, so that each tool run of an\n"
            "update skips the host's first-open delay. Started by Quillmere; prints nothing.");
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tavik-hold %s\n", conv::programVersion());
        return 0;
    }
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // no holder outlives its front end, even a crashed one
#endif
    std::signal(SIGPIPE, SIG_IGN);

    // TAVIK_PORT as for tavik: only the converter on that USB port is held. A setting that is no
    // port path holds nothing rather than whatever converter is found.
    const std::optional<std::string> usbPort = conv::usbport::portFromEnvironment("tavik-hold", "nothing is held");
    if (!usbPort) return 0;
    const std::optional<std::string> socketPath = conv::emu::socketFromEnvironment();
    auto port = socketPath ? tavik::hold::makeEmulatedPort(*socketPath, STDIN_FILENO, *usbPort)
                           : tavik::hold::makeHidrawPort("/sys", "/dev", STDIN_FILENO, *usbPort);
    tavik::hold::holdUntilStopped(*port, kPollMs);
    return 0;
}
