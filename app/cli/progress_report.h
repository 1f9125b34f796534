#pragma once
// What quillmere-cli prints while an update runs, in one of three forms:
//   Terminal  one line redrawn in place ("  55 %  A transfer  about 20 s left"), alerts above it;
//   Plain     one line per change ("step: A transfer", "progress: 55 %, about 20 s left",
//             "ALERT: <text>"), for logs and pipes;
//   Json      one JSON object per line, "event" naming its kind: step, progress, alert, outcome,
//             record.
// The outcome uses the window's own end texts; the record names the update's record folder.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace quill::cli {

enum class ReportForm { Terminal, Plain, Json };

class ProgressReport {
public:
    ProgressReport(std::FILE* out, ReportForm form);

    // A new step; `status` is STATUS_OF_PNG at its start, left over from the step before.
    void step(const std::string& name, int status);
    // The front end's STATUS_OF_PNG; a value that changes nothing printed prints nothing.
    void progress(int status);
    void alert(const std::string& text);
    // The update has ended: the terminal's progress line goes, before anything else is written.
    void ended();
    // `outcome`: "Complete", "Failed" or "interrupted"; `cause`: the update's first cause of
    // failure, or what went well.
    void outcome(const std::string& outcome, const std::string& cause, int exitCode);
    void record(const std::string& folder);

private:
    void printLine(const std::string& text);
    void eraseTerminalLine();
    void drawTerminalLine();
    std::optional<long long> secondsLeft() const;

    std::FILE* out_;
    ReportForm form_;
    std::string step_;
    std::optional<int> percent_;
    std::optional<int> stepBaseline_;  // the percent the step began with: not its progress
    std::chrono::steady_clock::time_point stepStart_ = std::chrono::steady_clock::now();
    bool terminalLineShown_ = false;
};

// `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);

}  // namespace quill::cli
