#pragma once
// Keeps tavik-hold (beside tavik) running for the holder's own lifetime: it holds the converter's
// current USB identity open, so the host's first-open delay (about 50 ms) is not paid by every
// tool run. An optimisation only: when the holder is missing or fails, nothing else changes.
#include <QtCore/QProcess>
#include <QtCore/QString>

#include <functional>
#include <optional>
#include <string>

namespace quill::qt {

class ProcessToolRunner;

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

// Holds the converter an action works on for the length of that action only (not between actions,
// nor for FINISH / EXIT): it takes over the runner's pinned-port callback, and while an action runs
// each port pinned gets a fresh DeviceHolder on that port.
class ActionHolder {
public:
    // `pinned` (may be empty) hears of each pinned port before the holder changes.
    ActionHolder(ProcessToolRunner& runner, QString resourceDir, std::function<void(const std::string& port)> pinned);
    ActionHolder(const ActionHolder&) = delete;
    ActionHolder& operator=(const ActionHolder&) = delete;

    // Runs `action` with the holder allowed; when it returns, no holder runs.
    void during(const std::function<void()>& action);

private:
    QString resourceDir_;
    std::optional<DeviceHolder> holder_;
    bool wanted_ = false;
};

}  // namespace quill::qt
