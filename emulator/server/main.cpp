// convsim: the emulated converter, served on the emulated transport that tavik speaks or as hidraw
// nodes that tavik reaches through hidapi.
#include <sys/prctl.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "device_model.h"
#include "flash.h"
#include "hidraw_server.h"
#include "server.h"

namespace {

constexpr const char* kUsage =
    "usage: convsim (--socket PATH | --hidraw [--node-mode OCTAL]) [--state FILE] [--reenum-ms N] [--report-ms N] [--usb full-speed|instant]\n"
    "               [--fault NAME[@N]]... [--mode-code CODE] [--aprom-bytes N] [--blank] [-v]\n"
    "       convsim --show FILE\n";

int usageError(const std::string& what) {
    std::cerr << "convsim: " << what << "\n" << kUsage;
    return 2;
}

std::optional<std::int64_t> parseNumber(std::string_view text, std::int64_t low, std::int64_t high) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
    return value;
}

std::optional<mode_t> parseMode(std::string_view text) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 8);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 07777) return std::nullopt;
    return static_cast<mode_t>(value);
}

bool isModeCode(std::string_view code) {
    if (code.size() != 8) return false;
    for (char c : code)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

int show(const std::string& path) {
    convsim::FlashLoad load = convsim::loadFlashFile(path);
    if (load.error || !load.flash) {
        std::cerr << "convsim: " << (load.error ? *load.error : path + ": no such file") << "\n";
        return 1;
    }
    std::cout << convsim::describeFlash(*load.flash);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    convsim::ModelConfig model;
    convsim::ServerConfig server;
    std::optional<mode_t> nodeMode;
    bool hidraw = false;
    bool blank = false;

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage << "faults: " << convsim::faultNames() << "\n";
            return 0;
        } else if (arg == "--show") {
            auto path = value();
            if (!path) return usageError("--show needs a state file");
            return show(std::string(*path));
        } else if (arg == "-v" || arg == "--verbose") {
            server.verbose = true;
        } else if (arg == "--blank") {
            blank = true;
        } else if (arg == "--socket") {
            auto path = value();
            if (!path) return usageError("--socket needs a path");
            server.socketPath = *path;
        } else if (arg == "--hidraw") {
            hidraw = true;
        } else if (arg == "--node-mode") {
            auto text = value();
            nodeMode = text ? parseMode(*text) : std::nullopt;
            if (!nodeMode) return usageError("--node-mode needs permission bits in octal, such as 0600");
        } else if (arg == "--state") {
            auto path = value();
            if (!path) return usageError("--state needs a file");
            server.statePath = std::string(*path);
        } else if (arg == "--reenum-ms" || arg == "--report-ms") {
            auto text = value();
            auto ms = text ? parseNumber(*text, arg == "--report-ms" ? 1 : 0, 3'600'000) : std::nullopt;
            if (!ms) return usageError(std::string(arg) + " needs a number of milliseconds");
            (arg == "--reenum-ms" ? model.reenumDelay : model.reportPeriod) = *ms * 1000;
        } else if (arg == "--usb") {
            auto speed = value();
            if (!speed || (*speed != "full-speed" && *speed != "instant"))
                return usageError("--usb takes 'full-speed' or 'instant'");
            model.fullSpeed = *speed == "full-speed";
            server.firstOpenDelay = model.fullSpeed;
        } else if (arg == "--fault") {
            auto faultText = value();
            if (!faultText) return usageError("--fault needs a fault name");
            if (auto error = convsim::addFault(model.faults, *faultText)) return usageError(*error);
        } else if (arg == "--mode-code") {
            auto code = value();
            if (!code || !isModeCode(*code)) return usageError("--mode-code needs 8 upper-case letters or digits");
            model.modeCode = *code;
        } else if (arg == "--aprom-bytes") {
            auto text = value();
            auto bytes = text ? parseNumber(*text, 48, 1 << 20) : std::nullopt;
            if (!bytes) return usageError("--aprom-bytes needs a size from 48 to 1048576");
            model.appRegionBytes = static_cast<std::uint32_t>(*bytes);
        } else {
            return usageError("unknown argument '" + std::string(arg) + "'");
        }
    }
    if (hidraw == !server.socketPath.empty()) return usageError("either --socket PATH or --hidraw is required");
    if (nodeMode && !hidraw) return usageError("--node-mode goes with --hidraw");

    convsim::FlashState flash = blank ? convsim::FlashState{} : convsim::FlashState::factory();
    if (server.statePath) {
        convsim::FlashLoad load = convsim::loadFlashFile(*server.statePath);
        if (load.error) {
            std::cerr << "convsim: cannot use the state file: " << *load.error << "\n";
            return 1;
        }
        if (load.flash && !blank) {
            flash = std::move(*load.flash);
        } else if (auto error = convsim::saveFlashFile(*server.statePath, flash)) {
            std::cerr << "convsim: cannot write the state file: " << *error << "\n";
            return 1;
        }
    }

    convsim::DeviceModel device(model, std::move(flash));
    if (hidraw) {
        // The nodes live as long as the namespace stage that started convsim: no convsim outlives it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        convsim::HidrawConfig config;
        config.statePath = server.statePath;
        config.verbose = server.verbose;
        config.firstOpenDelay = server.firstOpenDelay;
        if (nodeMode) config.nodeMode = *nodeMode;
        convsim::HidrawServer nodes(config, device);
        if (auto error = nodes.start()) {
            std::cerr << "convsim: " << *error << "\n";
            return 1;
        }
        return nodes.run();
    }
    convsim::Server serving(server, device);
    if (auto error = serving.listen()) {
        std::cerr << "convsim: " << *error << "\n";
        return 1;
    }
    return serving.run();
}
