#include "process_runner.h"

#include <QtCore/QEventLoop>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QProcessEnvironment>
#include <QtCore/QTimer>

#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "conv/wirerecord.h"
#include "end_signals.h"

namespace quill::qt {
namespace {

// Why a program cannot be started, in words the alert can show.
QString whyNotStartable(const QString& path, const QProcess& process) {
    const QFileInfo info(path);
    if (!info.exists()) return QStringLiteral("No such file");
    if (info.isDir()) return QStringLiteral("Is a folder");
    if (!info.isExecutable()) return QStringLiteral("Not executable");
    return process.errorString();
}

}  // namespace

ProcessToolRunner::ProcessToolRunner(QString toolPath) : toolPath_(std::move(toolPath)) {}

ProcessToolRunner::~ProcessToolRunner() { discardPrepared(); }

std::unique_ptr<QProcess> ProcessToolRunner::start(const std::string& argument, bool heldBack) const {
    auto process = std::make_unique<QProcess>();
    process->setProgram(toolPath_);
    process->setArguments({QString::fromStdString(argument)});
    // Standard error is read as well (it names a converter that may not be opened) and passed on.
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // The go-byte setting reaches held-back runs only, whatever the environment we were given.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (heldBack) {
        environment.insert(QString::fromLatin1(conv::kWaitForGoEnv), QStringLiteral("1"));
    } else {
        environment.remove(QString::fromLatin1(conv::kWaitForGoEnv));
    }
    // The port is ours to decide: one left in the environment we were started with would reach a
    // converter that START did not choose.
    environment.remove(QString::fromLatin1(conv::usbport::kPortEnv));
    if (!port_.empty()) environment.insert(QString::fromLatin1(conv::usbport::kPortEnv), QString::fromStdString(port_));
    if (!recordFile_.empty())
        environment.insert(QString::fromLatin1(conv::wire::kRecordEnv), QString::fromStdString(recordFile_));
    process->setProcessEnvironment(environment);
    if (heldBack) {
        // Its standard input is our pipe: it waits there for the go byte.
        process->start(QIODevice::ReadWrite);
    } else {
        process->setInputChannelMode(QProcess::ForwardedInputChannel);
        process->start(QIODevice::ReadOnly);
    }
    return process;
}

void ProcessToolRunner::discardPrepared() {
    if (!prepared_) return;
    // It is still waiting for its go: it has touched nothing.
    prepared_->kill();
    prepared_->waitForFinished(-1);
    prepared_.reset();
}

std::optional<RunResult> ProcessToolRunner::listConverters(std::chrono::milliseconds timeLimit) {
    // The last action's port must not hide a converter plugged in since; the holder waits for
    // the port this listing leads to.
    discardPrepared();
    port_.clear();
    RunResult result = runCmd("ports", timeLimit);
    if (result.end == RunEnd::Exited)
        if (auto listing = conv::usbport::parseListing(result.output)) listed_ = std::move(*listing);
    return result;
}

void ProcessToolRunner::pinPort(const std::string& port) {
    discardPrepared();  // started with the old setting
    port_ = port;
    if (pinned) pinned(port);
}

RunResult ProcessToolRunner::runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) {
    RunResult result;
    const std::string next = std::exchange(expectedNext_, {});
    // Told to end: no run starts any more.
    if (const int signal = EndSignals::received(); signal != 0) {
        discardPrepared();
        result.end = RunEnd::Interrupted;
        result.reason = EndSignals::name(signal);
        return result;
    }
    // A run started ahead for this very argument only needs its go; any other one ends unused.
    std::unique_ptr<QProcess> process;
    if (prepared_ && preparedArgument_ == argument && prepared_->waitForStarted(-1) && prepared_->write("g", 1) == 1 &&
        prepared_->waitForBytesWritten(-1)) {
        process = std::move(prepared_);
    }
    discardPrepared();
    if (!process) {
        process = start(argument, false);
        if (!process->waitForStarted(-1)) {
            result.end = RunEnd::FailedToStart;
            result.reason = whyNotStartable(toolPath_, *process).toStdString();
            return result;
        }
    }
    // The next run starts now and waits, so its start-up overlaps this run's work.
    if (!next.empty()) {
        prepared_ = start(next, true);
        preparedArgument_ = next;
    }

    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(process.get(), &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&EndSignals::instance(), &EndSignals::arrived, &loop, &QEventLoop::quit);
    limit.start(std::max<std::chrono::milliseconds>(timeLimit, std::chrono::milliseconds(1)));
    if (process->state() != QProcess::NotRunning) loop.exec();

    if (process->state() != QProcess::NotRunning) {
        // Time limit reached, told to end, or the application is quitting under us: the run is over.
        process->kill();
        process->waitForFinished(-1);
        result.end = RunEnd::TimedOut;
    }
    // Told to end: a run that had ended by itself counts as done; one killed (by us, or by the
    // same Ctrl-C) was interrupted.
    if (const int signal = EndSignals::received(); signal != 0) {
        if (process->exitStatus() == QProcess::NormalExit) {
            result.end = RunEnd::Exited;
        } else {
            discardPrepared();
            result.end = RunEnd::Interrupted;
            result.reason = EndSignals::name(signal);
        }
    }
    // A run that died by a signal we did not send, or exited with a failure status, is no answer.
    if (result.end == RunEnd::Exited && process->exitStatus() == QProcess::CrashExit) {
        result.end = RunEnd::Crashed;
        result.reason = EndSignals::name(process->exitCode());
    } else if (result.end == RunEnd::Exited && process->exitCode() != 0) {
        result.end = RunEnd::Crashed;
        result.reason = "exit status " + std::to_string(process->exitCode());
    }
    result.output = QString::fromUtf8(process->readAllStandardOutput()).toStdString();
    const QByteArray errors = process->readAllStandardError();
    std::fwrite(errors.constData(), 1, static_cast<std::size_t>(errors.size()), stderr);
    result.errorOutput = QString::fromUtf8(errors).toStdString();
    if (const std::size_t at = result.errorOutput.find(conv::wire::kRecordingCut);
        !recordFile_.empty() && recordingCut_.empty() && at != std::string::npos) {
        const std::string_view rest =
            std::string_view(result.errorOutput).substr(at + conv::wire::kRecordingCut.size());
        recordingCut_ = std::string(rest.substr(0, rest.find('\n')));
    }
    return result;
}

void pauseKeepingEventsAlive(std::chrono::microseconds duration) {
    using namespace std::chrono;
    // Told to end: the next run will not start, so nothing is left to wait for.
    if (duration <= microseconds::zero() || EndSignals::received() != 0) return;
    if (duration < microseconds(100)) {
        // A sleep this short would last the kernel's timer slack (about 50-80 us) instead.
        const auto end = steady_clock::now() + duration;
        while (steady_clock::now() < end) {
        }
        return;
    }
    if (duration < milliseconds(1)) {
        std::this_thread::sleep_for(duration);
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(ceil<milliseconds>(duration), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    QObject::connect(&EndSignals::instance(), &EndSignals::arrived, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace quill::qt
