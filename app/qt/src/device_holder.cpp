#include "device_holder.h"

#include <QtCore/QFileInfo>
#include <QtCore/QProcessEnvironment>

#include "conv/usbport.h"
namespace quill::qt {

DeviceHolder::DeviceHolder(const QString& resourceDir, const std::string& usbPort) {
    const QString path = resourceDir + QStringLiteral("/tavik-hold");
    if (!QFileInfo(path).isExecutable()) return;
    process_.setProgram(path);
    if (!usbPort.empty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(conv::usbport::kPortEnv), QString::fromStdString(usbPort));
        process_.setProcessEnvironment(environment);
    }
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

}  // namespace quill::qt
