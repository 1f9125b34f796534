#include "device_holder.h"

#include <QtCore/QFileInfo>
#include <QtCore/QProcessEnvironment>

#include <utility>

#include "conv/usbport.h"
#include "process_runner.h"

namespace quill::qt {

DeviceHolder::DeviceHolder(const QString& resourceDir, const std::string& usbPort) {
    const QString path = resourceDir + QStringLiteral("/tavik-hold");
    if (!QFileInfo(path).isExecutable()) return;
    process_.setProgram(path);
    // Only the port the action pinned, never one inherited from our own environment.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QString::fromLatin1(conv::usbport::kPortEnv));
    if (!usbPort.empty())
        environment.insert(QString::fromLatin1(conv::usbport::kPortEnv), QString::fromStdString(usbPort));
    process_.setProcessEnvironment(environment);
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(QProcess::nullDevice());
    process_.start(QIODevice::WriteOnly);  // its standard input is our pipe
}

DeviceHolder::~DeviceHolder() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.closeWriteChannel();
    if (!process_.waitForFinished(500)) {
        process_.kill();
        process_.waitForFinished(1000);
    }
}

ActionHolder::ActionHolder(ProcessToolRunner& runner, QString resourceDir,
                           std::function<void(const std::string& port)> pinned)
    : resourceDir_(std::move(resourceDir)) {
    runner.pinned = [this, pinned = std::move(pinned)](const std::string& port) {
        if (pinned) pinned(port);
        holder_.reset();
        if (wanted_) holder_.emplace(resourceDir_, port);
    };
}

void ActionHolder::during(const std::function<void()>& action) {
    wanted_ = true;
    action();
    wanted_ = false;
    holder_.reset();
}

}  // namespace quill::qt
