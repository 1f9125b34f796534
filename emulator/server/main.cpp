// convsim: the emulated converter, served on the emulated transport that tavik speaks or as hidraw
// nodes that tavik reaches through hidapi.
#include <sys/prctl.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <deque>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "conv/usbport.h"
#include "conv/version.h"
#include "device_model.h"
#include "flash.h"
#include "hidraw_server.h"
#include "replay_device.h"
#include "server.h"

namespace {

constexpr const char* kUsage =
    "usage: convsim (--socket PATH | --hidraw [--node-mode OCTAL] [--udev-delay-ms N] [--other-hid N] [--composite])\n"
    "               [--state FILE | --converter PORT:STATEFILE[@MS]...] [--reenum-ms N] [--report-ms N] [--usb "
    "full-speed|instant]\n"
    "               [--fault NAME[@N]]... [--mode-code CODE] [--aprom-bytes N] [--blank] [-v]\n"
    "       convsim (--socket PATH | --hidraw [--node-mode OCTAL]) --replay WIRE.jsonl [--replay-fast] [-v]\n"
    "       convsim --show FILE\n"
    "       convsim --help | --version\n";

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

// One --converter: the USB port, its flash file and when it is plugged in (ms after the start).
struct ConverterOption {
    std::string port;
    std::string statePath;
    std::int64_t plugMs = 0;
};

// "PORT:STATEFILE" or "PORT:STATEFILE@MS".
std::optional<ConverterOption> parseConverter(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || !conv::usbport::isPortPath(text.substr(0, colon))) return std::nullopt;
    ConverterOption option{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1)), 0};
    if (const std::size_t at = option.statePath.rfind('@'); at != std::string::npos) {
        const auto ms = parseNumber(std::string_view(option.statePath).substr(at + 1), 0, 3'600'000);
        if (!ms) return std::nullopt;
        option.plugMs = *ms;
        option.statePath.resize(at);
    }
    if (option.statePath.empty()) return std::nullopt;
    return option;
}

// The flash a converter starts with: its state file's, or the factory one (written to the file).
std::optional<convsim::FlashState> startingFlash(const std::optional<std::string>& statePath, bool blank) {
    convsim::FlashState flash = blank ? convsim::FlashState{} : convsim::FlashState::factory();
    if (!statePath) return flash;
    convsim::FlashLoad load = convsim::loadFlashFile(*statePath);
    if (load.error) {
        std::cerr << "convsim: cannot use the state file: " << *load.error << "\n";
        return std::nullopt;
    }
    if (load.flash && !blank) {
        flash = std::move(*load.flash);
    } else if (auto error = convsim::saveFlashFile(*statePath, flash)) {
        std::cerr << "convsim: cannot write the state file: " << *error << "\n";
        return std::nullopt;
    }
    return flash;
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

// Serves hidraw nodes until stopped; they live as long as the namespace stage that started
// convsim, so no convsim outlives it.
int serveNodes(const convsim::HidrawConfig& config, const std::vector<convsim::PluggedDevice>& devices) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    convsim::HidrawServer nodes(config, devices);
    if (auto error = nodes.start()) {
        std::cerr << "convsim: " << *error << "\n";
        return 1;
    }
    return nodes.run();
}

// Serves the recorded device until stopped, on hidraw nodes or the socket: 0 when the replay
// matched and used the whole recording, 3 when it diverged or left recorded events unused, 1 when
// the recording is refused.
int replay(const std::optional<convsim::HidrawConfig>& nodes, const convsim::ServerConfig& config,
           const std::string& path, bool fast) {
    auto loaded = convsim::loadRecording(path);
    if (auto* error = std::get_if<std::string>(&loaded)) {
        std::cerr << "convsim: refused: " << *error << "\n";
        return 1;
    }
    convsim::ReplayDevice device(std::move(std::get<convsim::ReplayRecording>(loaded)), fast);
    if (nodes) return serveNodes(*nodes, {{std::string(conv::usbport::kDefaultPort), &device, std::nullopt}});
    convsim::Server serving(config, device);
    if (auto error = serving.listen()) {
        std::cerr << "convsim: " << *error << "\n";
        return 1;
    }
    return serving.run();
}

}  // namespace

int main(int argc, char** argv) {
    convsim::ModelConfig model;
    convsim::ServerConfig server;
    std::optional<mode_t> nodeMode;
    std::vector<ConverterOption> converters;
    std::optional<std::int64_t> udevDelayMs;
    std::optional<std::int64_t> otherHid;
    bool hidraw = false;
    bool composite = false;
    bool blank = false;
    std::optional<std::string> replayPath;
    bool replayFast = false;
    bool emulatorOption = false;  // an option of the emulated converter, meaningless in a replay

    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string_view(argv[++i]);
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage << "faults (--fault):\n";
            for (const convsim::FaultHelp& fault : convsim::faultTable())
                std::cout << "  " << fault.syntax << ": " << fault.help << "\n";
            return 0;
        } else if (arg == "--version") {
            std::cout << "convsim " << conv::programVersion() << "\n";
            return 0;
        } else if (arg == "--show") {
            auto path = value();
            if (!path) return usageError("--show needs a state file");
            return show(std::string(*path));
        } else if (arg == "-v" || arg == "--verbose") {
            server.verbose = true;
        } else if (arg == "--blank") {
            blank = true;
            emulatorOption = true;
        } else if (arg == "--socket") {
            auto path = value();
            if (!path) return usageError("--socket needs a path");
            server.socketPath = *path;
        } else if (arg == "--replay") {
            auto path = value();
            if (!path) return usageError("--replay needs a wire recording");
            replayPath = std::string(*path);
        } else if (arg == "--replay-fast") {
            replayFast = true;
        } else if (arg == "--hidraw") {
            hidraw = true;
        } else if (arg == "--node-mode") {
            auto text = value();
            nodeMode = text ? parseMode(*text) : std::nullopt;
            if (!nodeMode) return usageError("--node-mode needs permission bits in octal, such as 0600");
        } else if (arg == "--udev-delay-ms") {
            auto text = value();
            udevDelayMs = text ? parseNumber(*text, 0, 3'600'000) : std::nullopt;
            if (!udevDelayMs) return usageError("--udev-delay-ms needs a number of milliseconds");
        } else if (arg == "--composite") {
            composite = true;
        } else if (arg == "--other-hid") {
            auto text = value();
            otherHid = text ? parseNumber(*text, 0, 200) : std::nullopt;
            if (!otherHid) return usageError("--other-hid needs a count from 0 to 200");
        } else if (arg == "--converter") {
            emulatorOption = true;
            auto text = value();
            auto option = text ? parseConverter(*text) : std::nullopt;
            if (!option) return usageError("--converter needs PORT:STATEFILE[@MS], such as 1-2:/tmp/b.state@4000");
            for (const ConverterOption& other : converters)
                if (other.port == option->port) return usageError("two converters on port " + option->port);
            converters.push_back(std::move(*option));
        } else if (arg == "--state") {
            emulatorOption = true;
            auto path = value();
            if (!path) return usageError("--state needs a file");
            server.statePath = std::string(*path);
        } else if (arg == "--reenum-ms" || arg == "--report-ms") {
            emulatorOption = true;
            auto text = value();
            auto ms = text ? parseNumber(*text, arg == "--report-ms" ? 1 : 0, 3'600'000) : std::nullopt;
            if (!ms) return usageError(std::string(arg) + " needs a number of milliseconds");
            (arg == "--reenum-ms" ? model.reenumDelay : model.reportPeriod) = *ms * 1000;
        } else if (arg == "--usb") {
            emulatorOption = true;
            auto speed = value();
            if (!speed || (*speed != "full-speed" && *speed != "instant"))
                return usageError("--usb takes 'full-speed' or 'instant'");
            model.fullSpeed = *speed == "full-speed";
            server.firstOpenDelay = model.fullSpeed;
        } else if (arg == "--fault") {
            emulatorOption = true;
            auto faultText = value();
            if (!faultText) return usageError("--fault needs a fault name");
            if (auto error = convsim::addFault(model.faults, *faultText)) return usageError(*error);
        } else if (arg == "--mode-code") {
            emulatorOption = true;
            auto code = value();
            if (!code || !isModeCode(*code)) return usageError("--mode-code needs 8 upper-case letters or digits");
            model.modeCode = *code;
        } else if (arg == "--aprom-bytes") {
            emulatorOption = true;
            auto text = value();
            auto bytes = text ? parseNumber(*text, 48, 1 << 20) : std::nullopt;
            if (!bytes) return usageError("--aprom-bytes needs a size from 48 to 1048576");
            model.appRegionBytes = static_cast<std::uint32_t>(*bytes);
        } else {
            return usageError("unknown argument '" + std::string(arg) + "'");
        }
    }
    if (hidraw == !server.socketPath.empty()) return usageError("either --socket PATH or --hidraw is required");
    // A socket message has no answer that could fail: the write faults live on the hidraw nodes.
    if (!hidraw && model.faults.writes.any())
        return usageError("the out-slow, out-timeout and out-stall faults need --hidraw");
    // slow-leave is about what the kernel answers an open that the leaving overlaps: hidraw only too.
    if (!hidraw && model.faults.slowLeaveMs) return usageError("the slow-leave fault needs --hidraw");
    if (nodeMode && !hidraw) return usageError("--node-mode goes with --hidraw");
    if ((udevDelayMs || otherHid || composite) && !hidraw)
        return usageError("--udev-delay-ms, --other-hid and --composite go with --hidraw");
    if (server.statePath && !converters.empty())
        return usageError("--state names the one converter; with --converter, name each");
    convsim::HidrawConfig nodes;
    nodes.verbose = server.verbose;
    if (nodeMode) nodes.nodeMode = *nodeMode;
    nodes.udevDelay = udevDelayMs.value_or(0) * 1000;
    nodes.otherHid = static_cast<unsigned>(otherHid.value_or(0));
    nodes.composite = composite;
    if (replayPath) {
        if (emulatorOption) return usageError("--replay plays a recorded device: it takes no emulator options");
        return replay(hidraw ? std::optional(nodes) : std::nullopt, server, *replayPath, replayFast);
    }
    if (replayFast) return usageError("--replay-fast needs --replay");

    // Without --converter: one converter on the default port (1-1), kept in --state.
    if (converters.empty())
        converters.push_back({std::string(conv::usbport::kDefaultPort), server.statePath.value_or(""), 0});
    std::deque<convsim::DeviceModel> models;
    std::deque<convsim::ModelDevice> modelDevices;
    std::deque<convsim::PluggedLater> lateDevices;
    std::vector<convsim::PluggedDevice> devices;
    for (const ConverterOption& c : converters) {
        const std::optional<std::string> statePath = c.statePath.empty() ? std::nullopt : std::optional(c.statePath);
        auto flash = startingFlash(statePath, blank);
        if (!flash) return 1;
        convsim::ServedDevice* device = &modelDevices.emplace_back(models.emplace_back(model, std::move(*flash)));
        if (c.plugMs > 0) device = &lateDevices.emplace_back(*device, c.plugMs * 1000);
        devices.push_back({c.port, device, statePath});
    }
    if (hidraw) {
        nodes.firstOpenDelay = server.firstOpenDelay;
        nodes.writeFaults = model.faults.writes;
        return serveNodes(nodes, devices);
    }
    convsim::Server serving(server, devices);
    if (auto error = serving.listen()) {
        std::cerr << "convsim: " << *error << "\n";
        return 1;
    }
    return serving.run();
}
