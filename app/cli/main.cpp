// quillmere-cli: the window's START sequence from a shell, for headless machines, scripts and
// repair benches. It drives the same core with the same tool runner, run limits, texts and update
// record as the window, on QtCore alone (no display, no Qt Widgets); besides it lists the
// converters plugged in and packs an update record to send us.
#include <signal.h>
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QProcess>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <variant>

#include "cli_options.h"
#include "conv/emuproto.h"
#include "conv/hexfield.h"
#include "conv/packets.h"
#include "conv/version.h"
#include "end_signals.h"
#include "process_runner.h"
#include "progress_report.h"
#include "quill/bundle.h"
#include "quill/converter_lock.h"
#include "quill/update_record.h"
#include "update_run.h"

namespace {

namespace fs = std::filesystem;
using namespace quill::cli;

int usageError(const std::string& what) {
    std::fprintf(stderr, "quillmere-cli: %s\n%s", what.c_str(), kUsage);
    return kExitUsage;
}

// A write to a reader that has gone fails (EPIPE) instead of ending the program: the update goes
// on and its record is whole. A handler, not SIG_IGN: the tool runs get the default back at exec.
void onBrokenPipe(int) {}

void keepGoingOnBrokenPipe() {
    struct sigaction action {};
    action.sa_handler = onBrokenPipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

// Whether this user may open a converter's node: the hidraw node, or the emulator's socket.
std::string mayOpen(const std::string& node) {
    const char* socket = std::getenv(conv::emu::kSocketEnv);
    const std::string path = node.starts_with("/") ? node : socket != nullptr ? socket : "";
    if (path.empty()) return "no node yet";
    return ::access(path.c_str(), R_OK | W_OK) == 0 ? "you may open it" : "you may NOT open it (see the udev rule)";
}

// quillmere-cli list: every converter plugged in, one line each.
int listConverters(const quill::BundleLayout& layout, bool json) {
    quill::qt::ProcessToolRunner runner(QString::fromStdString(layout.resourceDir + "/tavik"));
    const std::optional<quill::RunResult> result = runner.listConverters(listingLimit());
    if (!result || result->end != quill::RunEnd::Exited || !conv::usbport::parseListing(result->output)) {
        std::fprintf(stderr, "quillmere-cli: the converters plugged in could not be listed (tavik ports %s)\n",
                     !result                                       ? "cannot be run"
                     : result->end == quill::RunEnd::FailedToStart ? ("cannot be started: " + result->reason).c_str()
                     : result->end == quill::RunEnd::TimedOut      ? "got no answer in time"
                                                                   : "printed no whole list");
        return kExitFailed;
    }
    std::vector<std::string> shown;
    for (const conv::usbport::PortNode& device : runner.listed()) {
        // A converter re-enumerating may be listed once per identity: its first line stands.
        if (std::find(shown.begin(), shown.end(), device.port) != shown.end()) continue;
        shown.push_back(device.port);
        const bool loader = device.vendorId == conv::kLoaderVid && device.productId == conv::kLoaderPid;
        const std::string access = mayOpen(device.node);
        const std::optional<std::string> holder = quill::converterHolder(device.port);
        std::string line;
        if (json) {
            line = "{\"port\":" + jsonString(device.port) + ",\"mode\":" + (loader ? "\"loader\"" : "\"normal\"") +
                   ",\"id\":" + jsonString(conv::identityText(device.vendorId, device.productId)) +
                   ",\"node\":" + (device.node.empty() ? "null" : jsonString(device.node)) +
                   ",\"serial\":" + (device.serial.empty() ? "null" : jsonString(device.serial)) +
                   ",\"may_open\":" + (access == "you may open it" ? "true" : "false") +
                   ",\"held_by\":" + (holder ? jsonString(*holder) : "null") + "}";
        } else {
            line = "USB port " + device.port + ": " + (loader ? "loader" : "normal mode") + ", " +
                   (device.node.empty() ? "no node" : device.node) + ", serial number " +
                   (device.serial.empty() ? "none" : device.serial) + ", " + access + ", " +
                   (holder ? "an update holds it (" + *holder + ")" : "no update holds it");
        }
        std::printf("%s\n", line.c_str());
    }
    if (shown.empty()) std::fprintf(stderr, "quillmere-cli: no converter is plugged in\n");
    std::fflush(stdout);
    return kExitUpdated;
}

// quillmere-cli report: FOLDER (or the newest record that did not complete) as a .tgz.
int writeReport(const CliOptions& options) {
    const fs::path root = quill::updatesRoot(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
    fs::path folder;
    std::error_code error;
    if (!options.folder.empty()) {
        folder = fs::is_directory(options.folder, error) ? fs::path(options.folder) : root / options.folder;
        if (!fs::is_regular_file(folder / "summary.txt", error)) {
            std::fprintf(stderr, "quillmere-cli: %s is no update record (it holds no summary.txt)\n",
                         options.folder.c_str());
            return kExitFailed;
        }
    } else {
        for (const fs::path& candidate : quill::updateFolders(root)) {
            const auto outcome = quill::recordOutcome(candidate);
            if (outcome == "Failed" || outcome == "interrupted") folder = candidate;
        }
        if (folder.empty()) {
            std::fprintf(stderr, "quillmere-cli: no update record in %s failed or was interrupted\n", root.c_str());
            return kExitFailed;
        }
    }
    folder = fs::absolute(folder, error).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    const fs::path archive = fs::absolute(
        options.output.empty() ? "quillmere-" + folder.filename().string() + ".tgz" : options.output, error);
    // tar and gzip are in every Debian system; the folder holds plain files only.
    QProcess tar;
    tar.setProcessChannelMode(QProcess::ForwardedChannels);
    tar.start(QStringLiteral("tar"), {QStringLiteral("czf"), QString::fromStdString(archive.string()),
                                      QStringLiteral("-C"), QString::fromStdString(folder.parent_path().string()),
                                      QString::fromStdString(folder.filename().string())});
    if (!tar.waitForFinished(-1) || tar.exitStatus() != QProcess::NormalExit || tar.exitCode() != 0) {
        std::fprintf(stderr, "quillmere-cli: %s could not be written (tar: %s)\n", archive.c_str(),
                     tar.error() == QProcess::FailedToStart ? "cannot be started" : "failed");
        return kExitFailed;
    }
    std::printf("%s\n", archive.c_str());
    return kExitUpdated;
}

int run(int argc, char** argv) {
    keepGoingOnBrokenPipe();
    const auto parsed = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<std::string>(&parsed)) return usageError(*error);
    const CliOptions& options = std::get<CliOptions>(parsed);
    if (options.help) {
        std::printf("%s%s", kUsage, kHelp);
        return kExitUpdated;
    }
    if (options.version) {
        std::printf("quillmere-cli %s\n", conv::programVersion());
        return kExitUpdated;
    }

    QCoreApplication app(argc, argv);
    if (options.command == CliOptions::Command::Report) return writeReport(options);

    std::error_code error;
    fs::path bundle = fs::absolute(options.bundle, error);
    if (!bundle.has_filename()) bundle = bundle.parent_path();  // "Name.app/"
    if (error || !fs::is_directory(bundle, error) || bundle.extension() != ".app")
        return usageError(options.bundle + " is no bundle folder (NAME.app)");
    // The bundle's parts are where the window, started from that bundle, finds them.
    const quill::BundleLayout layout = quill::locateBundle((bundle / "Contents" / "MacOS" / "Quillmere").string());
    if (options.command == CliOptions::Command::List) return listConverters(layout, options.json);

    // A logout, a shutdown or Ctrl-C ends the update in an orderly way (its record says so).
    if (!quill::qt::EndSignals::instance().install())
        std::fprintf(
            stderr,
            "quillmere-cli: cannot watch for the signals that end it (SIGTERM, SIGINT, ...); they end it at once\n");
    const ReportForm form = options.json              ? ReportForm::Json
                            : ::isatty(STDOUT_FILENO) ? ReportForm::Terminal
                                                      : ReportForm::Plain;
    ProgressReport report(stdout, form, options.quiet);
    return options.all ? updateAll(layout, options, report) : updateOne(layout, options, report);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "quillmere-cli: %s\n", error.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "quillmere-cli: unexpected error\n");
    }
    return kExitFailed;
}
