#include "update_run.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QEventLoop>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QJsonValue>
#include <QtCore/QProcess>
#include <QtCore/QTimer>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "device_holder.h"
#include "end_signals.h"
#include "process_runner.h"
#include "quill/converter_lock.h"
#include "quill/front_core.h"
#include "quill/time_scale.h"
#include "quill/update_progress.h"
#include "update_folder.h"

namespace quill::cli {
namespace {

using std::chrono::steady_clock;

std::string toolPath(const BundleLayout& layout) { return layout.resourceDir + "/tavik"; }

// The ports of a whole listing, each once, in the order listed; nullopt when it was no whole listing.
std::optional<std::vector<std::string>> listedPorts(qt::ProcessToolRunner& runner) {
    const std::optional<RunResult> result = runner.listConverters(listingLimit());
    if (!result || result->end != RunEnd::Exited || !conv::usbport::parseListing(result->output)) return std::nullopt;
    std::vector<std::string> ports;
    for (const conv::usbport::PortNode& device : runner.listed())
        if (std::find(ports.begin(), ports.end(), device.port) == ports.end()) ports.push_back(device.port);
    return ports;
}

// The outcome of an update that ended while it waited for its converter: nothing was sent.
int interruptedWhileWaiting(const std::string& port, ProgressReport& report) {
    const int signal = qt::EndSignals::received();
    const std::string cause =
        "interrupted by " + qt::EndSignals::name(signal) + " while waiting for a converter; nothing was sent";
    report.outcome(port, {"interrupted", cause, "", "interrupted: " + cause, 128 + signal}, false);
    return 128 + signal;
}

// The core's ports on a terminal, a pipe or a JSON reader.
class UpdateRun : private Alerts, private Clock, private Log, private SequenceView {
public:
    UpdateRun(const BundleLayout& layout, const CliOptions& options, ProgressReport& report)
        : layout_(layout), options_(options), report_(report), runner_(QString::fromStdString(toolPath(layout))),
          port_(options.port) {
        const TimeScale scale = timeScaleFromEnvironment();
        const TimeScale pauses = pauseScaleFromEnvironment();
        for (const auto& complaint : {scale.complaint, pauses.complaint})
            if (complaint) std::fprintf(stderr, "quillmere-cli: %s\n", complaint->c_str());
        core_.emplace(Ports{counter_, *this, *this, *this, *this, lock_},
                      CoreConfig{layout.firmwareDir, scale.factor, pauses.factor, options.port});
        version_ = core_->readBundlePath(layout.bundlePath);
    }

    int run() {
        if (options_.wait && !waitForConverter(runner_, options_.port, options_.waitSeconds, report_))
            return interruptedWhileWaiting(port_, report_);
        return update();
    }

private:
    // One START: the holder, the record and the sequence, as the window runs them.
    int update() {
        const CoreConfig& config = core_->config();
        progress_.emplace(options_.bcode, config.timeScale * config.pauseScale, steady_clock::now());
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [this] { tick(); });
        poll.start(200);
        const char* action = options_.bcode ? "START (box ticked)" : "START";
        record_.emplace(layout_, qt::UpdateFolder::Action::of(action, version_, *core_), runner_);
        holder_.during([this] { core_->onClick1(); });
        poll.stop();
        report_.ended(port_);
        const std::string outcome(outcomeName(core_->lastOutcome()));
        // The record says nothing on standard error: the outcome is ours to print, once.
        const std::string line = record_->end(outcome, core_->cause(), alerts_);
        const int signal = qt::EndSignals::received();
        const int status = signal != 0                  ? 128 + signal
                           : !core_->lastActionFailed() ? kExitUpdated
                           : counter_.started == 0      ? kExitRefused
                                                        : kExitFailed;
        report_.outcome(port_, {outcome, core_->cause(), record_->folder().string(), line, status}, true);
        record_.reset();
        return status;
    }

    void tick() {
        const FrontState& state = core_->state();
        const auto now = steady_clock::now();
        progress_->transferred(state.transferSent, now);
        report_.progress(port_, progress_->at(now));
    }

    // Counts the runs that started, so a refusal before the first one can be told apart.
    struct CountingRunner : ToolRunner {
        explicit CountingRunner(ToolRunner& inner) : inner(inner) {}
        RunResult runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) override {
            RunResult result = inner.runCmd(argument, timeLimit);
            if (result.end != RunEnd::FailedToStart) ++started;
            return result;
        }
        void expectNext(const std::string& next) override { inner.expectNext(next); }
        std::optional<RunResult> listConverters(std::chrono::milliseconds timeLimit) override {
            return inner.listConverters(timeLimit);
        }
        void pinPort(const std::string& port) override { inner.pinPort(port); }
        std::string toolPath() const override { return inner.toolPath(); }
        ToolRunner& inner;
        int started = 0;
    };

    void alertA(const std::string& text) override {
        alerts_ << QString::fromStdString(text);
        report_.alert(port_, text);
        if (record_) record_->output("ALERT: " + text + "\n");
    }
    void pause(std::chrono::microseconds duration) override { qt::pauseKeepingEventsAlive(duration); }
    // The window's log and trace go to the record, and with -v to standard error: standard output
    // shows the progress.
    void log(const std::string& line) override {
        if (options_.verbose) std::fprintf(stderr, "quillmere-cli: %s\n", line.c_str());
        if (record_) record_->output("Quillmere: " + line + "\n");
    }
    void trace(const std::string& text) override {
        if (options_.verbose) std::fwrite(text.data(), 1, text.size(), stderr);
        if (record_) record_->output(text);
    }
    // The record keeps the firmware as it was sent, for a replay.
    void firmwareRead(const std::string& name, const std::optional<std::string>& bytes,
                      const std::string& why) override {
        if (record_) record_->firmwareRead(name, bytes, why);
    }
    void phase(const std::string& name) override {
        if (record_) record_->phase(name);
        const FrontState& state = core_->state();
        const auto now = steady_clock::now();
        progress_->firmware(state.aPackets, state.bLines);
        progress_->phase(name, now);
        report_.step(port_, progress_->at(now));
    }
    void showRunningScreen() override {}
    void showStartButton() override {}
    void terminateApp() override {}
    bool compatibilityTicked() const override { return options_.bcode; }

    const BundleLayout layout_;
    const CliOptions options_;
    ProgressReport& report_;
    qt::ProcessToolRunner runner_;
    CountingRunner counter_{runner_};
    // Keeps other updaters off the converter the update works on.
    FileConverterLock lock_{"quillmere-cli"};
    // Holds the converter the update chose (by --port, or the one plugged in) while it runs.
    qt::ActionHolder holder_{runner_, QString::fromStdString(layout_.resourceDir), [this](const std::string& port) {
                                 if (record_) record_->pinned(port);
                                 if (!port.empty()) port_ = port;
                             }};
    std::optional<FrontCore> core_;
    std::optional<qt::UpdateFolder> record_;
    std::optional<UpdateProgress> progress_;
    std::string version_;
    std::string port_;  // the converter's, once known
    QStringList alerts_;
};

// How bad an exit status is, for --all: an interruption, a failure, a refusal, success.
int badness(int status) {
    if (status >= 128) return 4;
    if (status == kExitFailed || status == kExitUsage) return 3;
    return status == kExitRefused ? 2 : status == kExitUpdated ? 1 : 3;
}

// One converter's update in a quillmere-cli of its own (update --port=PORT --json), its events
// passed on to the report.
struct Child {
    std::string port;
    QProcess process;
    std::optional<UpdateOutcome> outcome;
    QByteArray errors;  // standard error not yet passed on: whole lines go, each after its port
};

void passEvent(Child& child, const QByteArray& line, ProgressReport& report) {
    const QJsonObject event = QJsonDocument::fromJson(line).object();
    const std::string kind = event.value(QStringLiteral("event")).toString().toStdString();
    const auto text = [&](const char* field) { return event.value(QLatin1String(field)).toString().toStdString(); };
    if (kind == "step" || kind == "progress") {
        const QJsonValue left = event.value(QStringLiteral("seconds_left"));
        ProgressEstimate estimate{event.value(QStringLiteral("percent")).toInt(), std::nullopt, text("step")};
        if (left.isDouble()) estimate.left = std::chrono::seconds(left.toInt());
        if (kind == "step")
            report.step(child.port, estimate);
        else
            report.progress(child.port, estimate);
    } else if (kind == "alert") {
        report.alert(child.port, text("text"));
    } else if (kind == "outcome") {
        child.outcome = UpdateOutcome{text("outcome"), text("cause"), text("record"), text("line"),
                                      event.value(QStringLiteral("exit")).toInt()};
    }
}

void passErrors(Child& child, bool all) {
    for (qsizetype end; (end = child.errors.indexOf('\n')) >= 0 || (all && !child.errors.isEmpty());) {
        const QByteArray line = child.errors.left(end >= 0 ? end : child.errors.size());
        std::fprintf(stderr, "%s: %s\n", child.port.c_str(), line.constData());
        child.errors.remove(0, end >= 0 ? end + 1 : child.errors.size());
    }
}

}  // namespace

std::chrono::milliseconds listingLimit() {
    return std::chrono::milliseconds(std::max<long long>(
        1, std::llround(static_cast<double>(runLimitFor("ports").count()) * timeScaleFromEnvironment().factor)));
}

std::optional<std::vector<conv::usbport::PortNode>> waitForConverter(qt::ProcessToolRunner& runner,
                                                                     const std::string& port,
                                                                     std::optional<int> seconds,
                                                                     ProgressReport& report) {
    const auto deadline = steady_clock::now() + std::chrono::seconds(seconds.value_or(0));
    bool told = false;
    for (;;) {
        const std::optional<std::vector<std::string>> ports = listedPorts(runner);
        if (qt::EndSignals::received() != 0) return std::nullopt;
        if (ports && (port.empty() ? !ports->empty() : std::find(ports->begin(), ports->end(), port) != ports->end()))
            return runner.listed();
        if (seconds && steady_clock::now() >= deadline) return std::vector<conv::usbport::PortNode>();
        if (!told) {
            report.waiting(port.empty() ? "Waiting for a converter... (Ctrl-C to stop)"
                                        : "Waiting for a converter at USB port " + port + "... (Ctrl-C to stop)");
            told = true;
        }
        qt::pauseKeepingEventsAlive(std::chrono::milliseconds(250));
        if (qt::EndSignals::received() != 0) return std::nullopt;
    }
}

int updateOne(const BundleLayout& layout, const CliOptions& options, ProgressReport& report) {
    UpdateRun run(layout, options, report);
    return run.run();
}

int updateAll(const BundleLayout& layout, const CliOptions& options, ProgressReport& report) {
    qt::ProcessToolRunner runner(QString::fromStdString(toolPath(layout)));
    std::optional<std::vector<std::string>> ports;
    if (options.wait && !waitForConverter(runner, {}, options.waitSeconds, report))
        return interruptedWhileWaiting({}, report);
    ports = listedPorts(runner);
    // None (or no listing): one update says so, as START would, with its record.
    if (!ports || ports->empty()) {
        CliOptions one = options;
        one.all = one.wait = false;
        return updateOne(layout, one, report);
    }

    std::vector<std::unique_ptr<Child>> children;
    QEventLoop loop;
    int running = 0;
    for (const std::string& port : *ports) {
        auto& child = *children.emplace_back(std::make_unique<Child>());
        child.port = port;
        report.expect(port);
        QStringList arguments{QStringLiteral("update"), QStringLiteral("--json"),
                              QStringLiteral("--port=") + QString::fromStdString(port)};
        if (options.bcode) arguments << QStringLiteral("--b-code");
        if (options.verbose) arguments << QStringLiteral("--verbose");
        arguments << QString::fromStdString(layout.bundlePath);
        child.process.setStandardInputFile(QProcess::nullDevice());
        QObject::connect(&child.process, &QProcess::readyReadStandardOutput, [&child, &report] {
            while (child.process.canReadLine()) passEvent(child, child.process.readLine(), report);
        });
        QObject::connect(&child.process, &QProcess::readyReadStandardError, [&child] {
            child.errors += child.process.readAllStandardError();
            passErrors(child, false);
        });
        QObject::connect(&child.process, &QProcess::finished, [&, child = &child] {
            while (child->process.canReadLine()) passEvent(*child, child->process.readLine(), report);
            child->errors += child->process.readAllStandardError();
            passErrors(*child, true);
            report.ended(child->port);
            if (--running == 0) loop.quit();
        });
        child.process.start(QCoreApplication::applicationFilePath(), arguments);
        ++running;
    }
    // A signal to us goes to every update (a Ctrl-C reaches them all already, as one process group).
    QObject::connect(&qt::EndSignals::instance(), &qt::EndSignals::arrived, &loop, [&children](int signal) {
        for (const auto& child : children)
            if (child->process.state() != QProcess::NotRunning)
                ::kill(static_cast<pid_t>(child->process.processId()), signal);
    });
    if (running > 0) loop.exec();

    int worst = kExitUpdated;
    for (const auto& child : children) {
        const bool exited = child->process.exitStatus() == QProcess::NormalExit;
        const int status = exited ? child->process.exitCode() : kExitFailed;
        if (!child->outcome) {
            const std::string cause = "its quillmere-cli ended without an outcome (" +
                                      (exited ? "exit status " + std::to_string(status) : std::string("it crashed")) +
                                      ")";
            child->outcome = UpdateOutcome{"Failed", cause, "", "Failed: " + cause, status};
        }
        report.outcome(child->port, *child->outcome, false);
        if (badness(status) > badness(worst)) worst = status;
    }
    return worst;
}

}  // namespace quill::cli
