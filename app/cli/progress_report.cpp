#include "progress_report.h"

#include <sys/ioctl.h>

#include <algorithm>

#include "quill/front_state.h"

namespace quill::cli {

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string timeLeftText(std::chrono::seconds left) {
    const long long s = left.count();
    return "about " +
           (s < 60 ? std::to_string(s) + " s" : std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s") +
           " left";
}

namespace {

std::string jsonPort(const std::string& port) { return port.empty() ? "null" : jsonString(port); }

std::string jsonProgress(const char* event, const std::string& port, const ProgressEstimate& e) {
    return std::string("{\"event\":\"") + event + "\",\"port\":" + jsonPort(port) + ",\"step\":" + jsonString(e.step) +
           ",\"percent\":" + std::to_string(e.percent) +
           ",\"seconds_left\":" + (e.left ? std::to_string(e.left->count()) : std::string("null")) + "}";
}

}  // namespace

ProgressReport::ProgressReport(std::FILE* out, ReportForm form, bool quiet) : out_(out), form_(form), quiet_(quiet) {}

void ProgressReport::write(std::string_view text) {
    if (closed_) return;
    // A reader gone (EPIPE) or a full disk: the update goes on without its output.
    if (std::fwrite(text.data(), 1, text.size(), out_) != text.size() || std::fflush(out_) != 0) {
        closed_ = true;
        std::clearerr(out_);
    }
}

void ProgressReport::printLine(const std::string& text) {
    eraseTerminalLine();
    write(text + "\n");
    drawTerminalLine();
}

void ProgressReport::eraseTerminalLine() {
    if (!terminalLineShown_) return;
    write("\r\033[K");
    terminalLineShown_ = false;
}

// What the terminal line shows of one update; beside others without its step, to keep the line short.
std::string ProgressReport::laneText(const std::string& port, const ProgressEstimate& e, bool alone) const {
    if (!alone)
        return port + " " + std::to_string(e.percent) + " %" +
               (e.left ? " " + std::to_string(e.left->count()) + " s" : "");
    return (port.empty() ? "" : port + "  ") + std::to_string(e.percent) + " %  " +
           (e.left ? timeLeftText(*e.left) + "  " : "") + e.step;
}

void ProgressReport::drawTerminalLine() {
    if (form_ != ReportForm::Terminal || quiet_) return;
    std::vector<std::string> drawn;
    for (const std::string& port : laneOrder_)
        if (lanes_.at(port).drawn) drawn.push_back(port);
    std::string line;
    for (const std::string& port : drawn)
        line += (line.empty() ? "" : "  |  ") + laneText(port, lanes_.at(port).shown, drawn.size() == 1);
    if (line.empty()) return;
    // A line wider than the terminal would wrap, and the next redraw could not take it back.
    winsize size{};
    if (::ioctl(::fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
        line.resize(size.ws_col - 1);
    write("\r\033[K" + line);
    terminalLineShown_ = true;
}

void ProgressReport::waiting(const std::string& text) {
    notice(text, "\"event\":\"waiting\",\"text\":" + jsonString(text));
}

void ProgressReport::notice(const std::string& text, const std::string& event) {
    if (quiet_) return;
    printLine(form_ == ReportForm::Json ? "{" + event + "}" : text);
}

void ProgressReport::expect(const std::string& port) {
    if (lanes_.try_emplace(port).second) laneOrder_.push_back(port);
}

void ProgressReport::step(const std::string& port, const ProgressEstimate& estimate) {
    expect(port);
    Lane& lane = lanes_[port];
    lane.shown = estimate;
    lane.drawn = true;
    lane.lastPrinted = form_ == ReportForm::Json ? estimate.percent : estimate.percent / 5;
    if (quiet_) return;
    switch (form_) {
        case ReportForm::Terminal:
            eraseTerminalLine();
            drawTerminalLine();
            break;
        case ReportForm::Plain:
            printLine((port.empty() ? "" : port + ": ") + "step: " + estimate.step + " (" +
                      std::to_string(estimate.percent) + " %" +
                      (estimate.left ? ", " + timeLeftText(*estimate.left) : "") + ")");
            break;
        case ReportForm::Json:
            printLine(jsonProgress("step", port, estimate));
            break;
    }
}

void ProgressReport::progress(const std::string& port, const ProgressEstimate& estimate) {
    const auto found = lanes_.find(port);
    if (found == lanes_.end() || !found->second.drawn) return;  // before the first step
    Lane& lane = found->second;
    const bool changed = estimate.percent != lane.shown.percent || estimate.left != lane.shown.left;
    lane.shown = estimate;
    if (quiet_ || !changed) return;
    switch (form_) {
        case ReportForm::Terminal:
            eraseTerminalLine();
            drawTerminalLine();
            break;
        case ReportForm::Plain:
            if (estimate.percent / 5 == lane.lastPrinted) return;
            lane.lastPrinted = estimate.percent / 5;
            printLine((port.empty() ? "" : port + ": ") + "progress: " + std::to_string(estimate.percent) + " %" +
                      (estimate.left ? ", " + timeLeftText(*estimate.left) : "") + " (" + estimate.step + ")");
            break;
        case ReportForm::Json:
            if (estimate.percent == lane.lastPrinted) return;  // one event per percent
            lane.lastPrinted = estimate.percent;
            printLine(jsonProgress("progress", port, estimate));
            break;
    }
}

void ProgressReport::alert(const std::string& port, const std::string& text) {
    if (quiet_) return;
    printLine(form_ == ReportForm::Json
                  ? "{\"event\":\"alert\",\"port\":" + jsonPort(port) + ",\"text\":" + jsonString(text) + "}"
                  : (port.empty() ? "" : port + ": ") + "ALERT: " + text);
}

void ProgressReport::ended(const std::string& port) {
    eraseTerminalLine();
    if (const auto found = lanes_.find(port); found != lanes_.end()) found->second.drawn = false;
    drawTerminalLine();
}

void ProgressReport::outcome(const std::string& port, const UpdateOutcome& o, bool windowText) {
    if (form_ == ReportForm::Json) {
        printLine("{\"event\":\"outcome\",\"port\":" + jsonPort(port) + ",\"outcome\":" + jsonString(o.outcome) +
                  ",\"text\":" + jsonString(o.outcome == "Complete" ? kCompleteBottomText : kFailedBottomText) +
                  ",\"cause\":" + jsonString(o.cause) + ",\"exit\":" + std::to_string(o.exitCode) + ",\"record\":" +
                  (o.folder.empty() ? "null" : jsonString(o.folder)) + ",\"line\":" + jsonString(o.line) + "}");
        if (!o.folder.empty())
            printLine("{\"event\":\"record\",\"port\":" + jsonPort(port) + ",\"folder\":" + jsonString(o.folder) + "}");
        return;
    }
    if (windowText && !quiet_)
        printLine(std::string(o.outcome == "Complete" ? kCompleteBottomText : kFailedBottomText));
    printLine("quillmere-cli: " + (port.empty() ? "" : port + ": ") + o.line);
}

}  // namespace quill::cli
