#pragma once
// What quillmere-cli prints while updates run, each line or event with the USB port of its
// converter (none before one is chosen), in one of three forms:
//   Terminal  one line redrawn in place ("1-1  55 %  about 20 s left  A transfer"; with several
//             converters each one's figures side by side), alerts above it;
//   Plain     one line per step, per 5 % of the whole update and per alert ("1-1: step: A transfer
//             (12 %, about 25 s left)", "1-1: ALERT: <text>"), for logs and pipes;
//   Json      one JSON object per line, "event" naming its kind: waiting, step, progress, alert,
//             outcome, record; "port" its converter (null when none is known).
// Quiet prints the outcome only. The outcome comes once, as "quillmere-cli: PORT: OUTCOME: CAUSE
// (record: FOLDER)", after the window's own end text unless only outcomes are asked for. Once the
// output cannot be written (a pipe closed by its reader) nothing more is written to it.
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "quill/update_progress.h"

namespace quill::cli {

enum class ReportForm { Terminal, Plain, Json };

struct UpdateOutcome {
    std::string outcome;  // "Complete", "Failed" or "interrupted"
    std::string cause;
    std::string folder;  // the record's, empty when none is kept
    std::string line;    // "Complete: CAUSE (record: FOLDER)", as the record gives it
    int exitCode = 0;
};

class ProgressReport {
public:
    ProgressReport(std::FILE* out, ReportForm form, bool quiet);

    // "Waiting for a converter... (Ctrl-C to stop)"
    void waiting(const std::string& text);
    // The updates to come, in the order the terminal line shows them.
    void expect(const std::string& port);
    // A new step of the update on `port`: estimate.step names it.
    void step(const std::string& port, const ProgressEstimate& estimate);
    // Printed only when it changes what is shown.
    void progress(const std::string& port, const ProgressEstimate& estimate);
    void alert(const std::string& port, const std::string& text);
    // The update on `port` has ended: its part of the terminal line goes.
    void ended(const std::string& port);
    // windowText: the window's end text comes first ("Firmware successfully updated.").
    void outcome(const std::string& port, const UpdateOutcome& outcome, bool windowText);
    // A line of its own for everyone but a JSON reader (who gets `event`, an object's fields).
    void notice(const std::string& text, const std::string& event);

    bool closed() const { return closed_; }

private:
    struct Lane {
        ProgressEstimate shown;
        bool drawn = false;
        int lastPrinted = -1;  // the plain form's last 5 % step, the JSON form's last percent
    };
    void printLine(const std::string& text);
    void write(std::string_view text);
    void eraseTerminalLine();
    void drawTerminalLine();
    std::string laneText(const std::string& port, const ProgressEstimate& e, bool alone) const;

    std::FILE* out_;
    ReportForm form_;
    bool quiet_;
    bool closed_ = false;
    std::map<std::string, Lane> lanes_;
    std::vector<std::string> laneOrder_;
    bool terminalLineShown_ = false;
};

// `text` as a JSON string, quotes included.
std::string jsonString(std::string_view text);
// "about 25 s left", "about 2 min 5 s left"
std::string timeLeftText(std::chrono::seconds left);

}  // namespace quill::cli
