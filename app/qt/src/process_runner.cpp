#include "process_runner.h"

#include <QtCore/QEventLoop>
#include <QtCore/QFileInfo>
#include <QtCore/QProcess>
#include <QtCore/QTimer>

#include <thread>

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

RunResult ProcessToolRunner::runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) {
    RunResult result;
    // Destroying a QProcess that still runs kills it, so no child outlives this call.
    QProcess process;
    process.setProgram(toolPath_);
    process.setArguments({QString::fromStdString(argument)});
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);

    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(-1)) {
        result.end = RunEnd::FailedToStart;
        result.reason = whyNotStartable(toolPath_, process).toStdString();
        return result;
    }

    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    limit.setTimerType(Qt::PreciseTimer);
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    limit.start(std::max<std::chrono::milliseconds>(timeLimit, std::chrono::milliseconds(1)));
    if (process.state() != QProcess::NotRunning) loop.exec();

    if (process.state() != QProcess::NotRunning) {
        // Time limit reached, or the application is quitting under us: the run is over.
        process.kill();
        process.waitForFinished(-1);
        result.end = RunEnd::TimedOut;
    }
    result.output = QString::fromUtf8(process.readAllStandardOutput()).toStdString();
    return result;
}

void pauseKeepingEventsAlive(std::chrono::microseconds duration) {
    using namespace std::chrono;
    if (duration <= microseconds::zero()) return;
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
    loop.exec();
}

}  // namespace quill::qt
