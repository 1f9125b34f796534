// quillmere-cli: the window's START sequence from a shell, for headless machines, scripts and
// repair benches. It drives the same core with the same tool runner, run limits, texts and update
// record as the window, on QtCore alone (no display, no Qt Widgets).
#include <unistd.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "conv/usbport.h"
#include "conv/version.h"
#include "device_holder.h"
#include "end_signals.h"
#include "process_runner.h"
#include "progress_report.h"
#include "quill/bundle.h"
#include "quill/converter_lock.h"
#include "quill/front_core.h"
#include "quill/time_scale.h"
#include "update_folder.h"

namespace {

using quill::cli::ProgressReport;
using quill::cli::ReportForm;

constexpr int kExitUpdated = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;  // the update failed before any tool run was started

constexpr const char* kUsage =
    "usage: quillmere-cli update [--b-code] [--port PATH] [--json] BUNDLE.app\n"
    "       quillmere-cli --help | --version\n";
constexpr const char* kHelp =
    "\n"
    "Updates the converter's firmware as START in the Quillmere window does: the same steps,\n"
    "checks, texts and time limits, and the same update record.\n"
    "\n"
    "  --b-code     update the B code too (the window's \"Controller Compatibility Update\" box)\n"
    "  --port PATH  reach only the converter on this USB port, such as 1-1.4\n"
    "  --json       print one JSON object per line: step, progress, alert, outcome, record\n"
    "\n"
    "BUNDLE.app is a Quillmere bundle: its name carries the version and the A image's checksum,\n"
    "it holds tavik in Contents/Resources, and tmpa.hex and tmpb.hex lie beside it.\n"
    "\n"
    "Exit status: 0 updated, 1 failed, 2 usage error, 3 refused before anything was sent.\n";

struct CliOptions {
    bool bcode = false;
    bool json = false;
    std::string port;
    std::string bundle;
};

// The options, or the exit status when there is nothing to run.
std::variant<CliOptions, int> parseOptions(int argc, char** argv) {
    const auto usage = [](const std::string& what) {
        std::fprintf(stderr, "quillmere-cli: %s\n%s", what.c_str(), kUsage);
        return kExitUsage;
    };
    if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
        std::printf("%s%s", kUsage, kHelp);
        return kExitUpdated;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::printf("quillmere-cli %s\n", conv::programVersion());
        return kExitUpdated;
    }
    if (argc < 2 || std::string_view(argv[1]) != "update") return usage(argc < 2 ? "no command" : "unknown command");
    CliOptions options;
    for (int i = 2; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--b-code") {
            options.bcode = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--port") {
            if (i + 1 >= argc || *argv[i + 1] == '\0') return usage("--port needs a USB port path");
            options.port = argv[++i];
            if (!conv::usbport::isPortPath(options.port))
                return usage("--port needs a USB port path such as 1-1.4, not '" + options.port + "'");
        } else if (arg.starts_with("-") || !options.bundle.empty()) {
            return usage("unexpected argument '" + std::string(arg) + "'");
        } else {
            options.bundle = arg;
        }
    }
    if (options.bundle.empty()) return usage("no bundle given");
    return options;
}

// The core's ports on a terminal, a pipe or a JSON reader.
class CliFront : private quill::Alerts, private quill::Clock, private quill::Log, private quill::SequenceView {
public:
    CliFront(const quill::BundleLayout& layout, const CliOptions& options, ProgressReport& report)
        : layout_(layout), options_(options), report_(report),
          runner_(QString::fromStdString(layout.resourceDir + "/tavik")) {
        const quill::TimeScale scale = quill::timeScaleFromEnvironment();
        const quill::TimeScale pauses = quill::pauseScaleFromEnvironment();
        for (const auto& complaint : {scale.complaint, pauses.complaint})
            if (complaint) std::fprintf(stderr, "quillmere-cli: %s\n", complaint->c_str());
        core_.emplace(quill::Ports{counter_, *this, *this, *this, *this, lock_},
                      quill::CoreConfig{layout.firmwareDir, scale.factor, pauses.factor, options.port});
        version_ = core_->readBundlePath(layout.bundlePath);
    }

    // One START: the holder, the record and the sequence, as the window runs them.
    int update() {
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [this] { report_.progress(core_->state().STATUS_OF_PNG); });
        poll.start(200);
        const char* action = options_.bcode ? "START (box ticked)" : "START";
        record_.emplace(layout_, quill::qt::UpdateFolder::Action::of(action, version_, *core_), runner_);
        holder_.during([this] { core_->onClick1(); });
        report_.ended();  // the record writes its line on standard error
        const std::string outcome(quill::outcomeName(core_->lastOutcome()));
        record_->finish(outcome, core_->cause(), alerts_);
        poll.stop();
        const int signal = quill::qt::EndSignals::received();
        const int status = signal != 0                  ? 128 + signal
                           : !core_->lastActionFailed() ? kExitUpdated
                           : counter_.started == 0      ? kExitRefused
                                                        : kExitFailed;
        report_.outcome(outcome, core_->cause(), status);
        if (!record_->folder().empty()) report_.record(record_->folder().string());
        record_.reset();
        return status;
    }

private:
    // Counts the runs that started, so a refusal before the first one can be told apart.
    struct CountingRunner : quill::ToolRunner {
        explicit CountingRunner(quill::ToolRunner& inner) : inner(inner) {}
        quill::RunResult runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) override {
            quill::RunResult result = inner.runCmd(argument, timeLimit);
            if (result.end != quill::RunEnd::FailedToStart) ++started;
            return result;
        }
        void expectNext(const std::string& next) override { inner.expectNext(next); }
        std::optional<quill::RunResult> listConverters(std::chrono::milliseconds timeLimit) override {
            return inner.listConverters(timeLimit);
        }
        void pinPort(const std::string& port) override { inner.pinPort(port); }
        std::string toolPath() const override { return inner.toolPath(); }
        quill::ToolRunner& inner;
        int started = 0;
    };

    void alertA(const std::string& text) override {
        alerts_ << QString::fromStdString(text);
        report_.alert(text);
        if (record_) record_->output("ALERT: " + text + "\n");
    }
    void pause(std::chrono::microseconds duration) override { quill::qt::pauseKeepingEventsAlive(duration); }
    // The window's log and trace go to the record only: the terminal shows the progress.
    void log(const std::string& line) override {
        if (record_) record_->output("Quillmere: " + line + "\n");
    }
    void trace(const std::string& text) override {
        if (record_) record_->output(text);
    }
    // The record keeps the firmware as it was sent, for a replay.
    void firmwareRead(const std::string& name, const std::optional<std::string>& bytes,
                      const std::string& why) override {
        if (record_) record_->firmwareRead(name, bytes, why);
    }
    void phase(const std::string& name) override {
        if (record_) record_->phase(name);
        report_.progress(core_->state().STATUS_OF_PNG);
        report_.step(name, core_->state().STATUS_OF_PNG);
    }
    void showRunningScreen() override {}
    void showStartButton() override {}
    void terminateApp() override {}
    bool compatibilityTicked() const override { return options_.bcode; }

    const quill::BundleLayout layout_;
    const CliOptions options_;
    ProgressReport& report_;
    quill::qt::ProcessToolRunner runner_;
    CountingRunner counter_{runner_};
    // Keeps other updaters off the converter the update works on.
    quill::FileConverterLock lock_{"quillmere-cli"};
    // Holds the converter the update chose (by --port, or the one plugged in) while it runs.
    quill::qt::ActionHolder holder_{runner_, QString::fromStdString(layout_.resourceDir),
                                    [this](const std::string& port) {
                                        if (record_) record_->pinned(port);
                                    }};
    std::optional<quill::FrontCore> core_;
    std::optional<quill::qt::UpdateFolder> record_;
    std::string version_;
    QStringList alerts_;
};

int run(int argc, char** argv) {
    const auto parsed = parseOptions(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const CliOptions& options = std::get<CliOptions>(parsed);

    std::error_code error;
    std::filesystem::path bundle = std::filesystem::absolute(options.bundle, error);
    if (!bundle.has_filename()) bundle = bundle.parent_path();  // "Name.app/"
    if (error || !std::filesystem::is_directory(bundle, error) || bundle.extension() != ".app") {
        std::fprintf(stderr, "quillmere-cli: %s is no bundle folder (NAME.app)\n%s", options.bundle.c_str(), kUsage);
        return kExitUsage;
    }

    QCoreApplication app(argc, argv);
    // A logout, a shutdown or Ctrl-C ends the update in an orderly way (its record says so).
    if (!quill::qt::EndSignals::instance().install())
        std::fprintf(stderr, "quillmere-cli: cannot watch for SIGTERM, SIGHUP and SIGINT; they end it at once\n");
    // The bundle's parts are where the window, started from that bundle, finds them.
    const quill::BundleLayout layout = quill::locateBundle((bundle / "Contents" / "MacOS" / "Quillmere").string());
    const ReportForm form = options.json              ? ReportForm::Json
                            : ::isatty(STDOUT_FILENO) ? ReportForm::Terminal
                                                      : ReportForm::Plain;
    ProgressReport report(stdout, form);
    CliFront front(layout, options, report);
    return front.update();
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
