#pragma once
// Runs the tool once per call on QProcess: one argument, no shell, standard output captured
// whole, standard error forwarded. The wait turns a nested event loop, so timers (the status
// refresh) keep firing while the tool runs.
#include <QtCore/QString>

#include <memory>

#include "quill/ports.h"

class QProcess;

namespace quill::qt {

class ProcessToolRunner : public ToolRunner {
public:
    explicit ProcessToolRunner(QString toolPath);
    ~ProcessToolRunner() override;
    ProcessToolRunner(const ProcessToolRunner&) = delete;
    ProcessToolRunner& operator=(const ProcessToolRunner&) = delete;

    RunResult runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) override;
    // The named run is started during the next runCmd() and held back until asked for (the
    // tool waits for a go byte on its standard input), so its start-up overlaps that run.
    void expectNext(const std::string& next) override { expectedNext_ = next; }
    std::string toolPath() const override { return toolPath_.toStdString(); }
    // Every later run gets TAVIK_PORT=PATH: it reaches only the converter at that USB port.
    void pinPort(const QString& portPath) { port_ = portPath; }

private:
    std::unique_ptr<QProcess> start(const std::string& argument, bool heldBack) const;
    void discardPrepared();

    QString toolPath_;
    QString port_;  // empty: the environment's TAVIK_PORT, if any, is passed on unchanged
    std::string expectedNext_;
    std::string preparedArgument_;
    std::unique_ptr<QProcess> prepared_;  // started ahead, waiting for its go
};

// Turns the event loop for `duration`, or sleeps (spins below 100 us) when it is too short to paint
// anything.
void pauseKeepingEventsAlive(std::chrono::microseconds duration);

}  // namespace quill::qt
