// tavik: one device action per run, chosen by the single argument; everything it has to say
// goes to standard output and the exit status is always 0.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conv/emuclient.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "conv/wirerecord.h"
#include "core/dispatcher.h"
#include "core/session.h"
#include "hid/transport.h"

#ifndef TAVIK_PRODUCTS_DIR
#error "TAVIK_PRODUCTS_DIR (the build-products directory holding tarna.hex and tarn_b.hex) must be defined"
#endif

int main(int argc, char** argv) {
    // Started ahead of time by the front end: wait for its go before anything else.
    if (const char* wait = std::getenv(conv::kWaitForGoEnv); wait != nullptr && std::strcmp(wait, "1") == 0) {
        char go = 0;
        ssize_t got;
        do {
            got = ::read(STDIN_FILENO, &go, 1);
        } while (got < 0 && errno == EINTR);
        if (got != 1) {
            std::fprintf(stderr, "tavik: %s=1 but standard input ended before the go byte came; nothing was done\n",
                         conv::kWaitForGoEnv);
            return 0;
        }
    }
    const std::vector<std::string_view> args(argv + 1, argv + argc);

    // TAVIK_PORT=PORT: only the converter on that USB port is ever opened. A setting that is no
    // port path is refused whole: opening whatever is found instead could reach another converter.
    const std::optional<std::string> port = conv::usbport::portFromEnvironment("tavik", "nothing was done");
    if (!port) return 0;
    // The emulated converter when its socket is named; otherwise the USB devices through hidapi.
    const std::optional<std::string> socketPath = conv::emu::socketFromEnvironment();
    std::unique_ptr<tavik::hid::Transport> transport =
        socketPath ? tavik::hid::makeEmulatedTransport(*socketPath, *port) : tavik::hid::makeHidapiTransport(*port);
    // TAVIK_RECORD=FILE: the run is appended to FILE as it happens, whichever back end serves it.
    if (const char* record = std::getenv(conv::wire::kRecordEnv); record != nullptr && *record != '\0')
        transport = tavik::hid::makeRecordingTransport(std::move(transport), record, args);
    {
        tavik::Config config;
        config.aHexPath = TAVIK_PRODUCTS_DIR "/tarna.hex";
        config.bHexPath = TAVIK_PRODUCTS_DIR "/tarn_b.hex";
        tavik::Session session(*transport, stdout, stderr, std::move(config));
        try {
            tavik::runCommandLine(session, args);
        } catch (const std::exception& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "tavik: %s\n", e.what());
        }
    }
    transport.reset();  // releases the HID library once, after every device is closed
    return 0;
}
