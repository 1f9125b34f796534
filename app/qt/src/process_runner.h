#pragma once
// Runs the tool once per call on QProcess: one argument, no shell, standard output captured
// whole, standard error forwarded. The wait turns a nested event loop, so timers (the status
// refresh) keep firing while the tool runs.
#include <QtCore/QString>

#include "quill/ports.h"

namespace quill::qt {

class ProcessToolRunner : public ToolRunner {
public:
    explicit ProcessToolRunner(QString toolPath);

    RunResult runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) override;
    std::string toolPath() const override { return toolPath_.toStdString(); }

private:
    QString toolPath_;
};

// Turns the event loop for `duration`, or sleeps (spins below 100 us) when it is too short to paint
// anything.
void pauseKeepingEventsAlive(std::chrono::microseconds duration);

}  // namespace quill::qt
