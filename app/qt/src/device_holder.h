#pragma once
// Keeps tavik-hold (beside tavik) running for the holder's own lifetime: it holds the converter's
// current USB identity open, so the host's first-open delay (about 50 ms) is not paid by every
// tool run. An optimisation only: when the holder is missing or fails, nothing else changes.
#include <QtCore/QProcess>
#include <QtCore/QString>

#include <string>
namespace quill::qt {

class DeviceHolder {
public:
    // usbPort: the converter's USB port (TAVIK_PORT), empty for whatever converter is found.
    explicit DeviceHolder(const QString& resourceDir, const std::string& usbPort = {});
    // Closes the holder's standard input (its signal to let go) and waits briefly; kills it if
    // it does not end.
    ~DeviceHolder();
    DeviceHolder(const DeviceHolder&) = delete;
    DeviceHolder& operator=(const DeviceHolder&) = delete;

    bool running() const { return process_.state() != QProcess::NotRunning; }

private:
    QProcess process_;
};

}  // namespace quill::qt
