#include "device_holder.h"

#include <QtCore/QFileInfo>

namespace quill::qt {

DeviceHolder::DeviceHolder(const QString& resourceDir) {
    const QString path = resourceDir + QStringLiteral("/tavik-hold");
    if (!QFileInfo(path).isExecutable()) return;
    process_.setProgram(path);
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
