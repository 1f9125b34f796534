#pragma once
// Runs the tool once per call on QProcess: one argument, no shell, standard output captured
// whole, standard error forwarded. The wait turns a nested event loop, so timers (the status
// refresh) keep firing while the tool runs. Once the application is told to end (EndSignals),
// the run in flight is killed and no further run starts: both come back RunEnd::Interrupted.
#include <QtCore/QString>

#include <functional>
#include <memory>
#include <vector>

#include "conv/usbport.h"
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
    // "ports", run with no port pinned.
    std::optional<RunResult> listConverters(std::chrono::milliseconds timeLimit) override;
    // The converters the last whole listing named; empty after forgetListed() until the next one.
    const std::vector<conv::usbport::PortNode>& listed() const { return listed_; }
    void forgetListed() { listed_.clear(); }
    // Every run from now on gets TAVIK_PORT=port (none when empty); `pinned` hears of it.
    void pinPort(const std::string& port) override;
    std::function<void(const std::string& port)> pinned;
    // Every run from now on appends itself to the wire recording `file` (TAVIK_RECORD); empty:
    // the runs get the recording setting we were started with, if any.
    void recordTo(std::string file) {
        recordFile_ = std::move(file);
        recordingCut_.clear();
    }
    // Why a run could not append itself to that recording (tavik said so), empty while it is whole.
    const std::string& recordingCut() const { return recordingCut_; }

private:
    std::unique_ptr<QProcess> start(const std::string& argument, bool heldBack) const;
    void discardPrepared();

    QString toolPath_;
    std::string port_;  // pinned USB port, empty: none
    std::vector<conv::usbport::PortNode> listed_;
    std::string recordFile_;  // the update record's wire.jsonl, empty: none
    std::string recordingCut_;
    std::string expectedNext_;
    std::string preparedArgument_;
    std::unique_ptr<QProcess> prepared_;  // started ahead, waiting for its go
};

// Turns the event loop for `duration`, or sleeps (spins below 100 us) when it is too short to paint
// anything. Ends at once when the application is told to end (EndSignals).
void pauseKeepingEventsAlive(std::chrono::microseconds duration);

}  // namespace quill::qt
