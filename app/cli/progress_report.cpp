#include "progress_report.h"

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

ProgressReport::ProgressReport(std::FILE* out, ReportForm form) : out_(out), form_(form) {}

void ProgressReport::printLine(const std::string& text) {
    eraseTerminalLine();
    std::fputs(text.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
    drawTerminalLine();
}

void ProgressReport::eraseTerminalLine() {
    if (!terminalLineShown_) return;
    std::fputs("\r\033[K", out_);
    terminalLineShown_ = false;
}

void ProgressReport::drawTerminalLine() {
    if (form_ != ReportForm::Terminal || step_.empty()) return;
    std::string line = "\r\033[K" + (percent_ ? std::to_string(*percent_) + " %" : std::string("  …")) + "  " + step_;
    if (const auto left = secondsLeft()) line += "  about " + std::to_string(*left) + " s left";
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
    terminalLineShown_ = true;
}

// Estimated from the pace of the current step; unknown until it has made some progress.
std::optional<long long> ProgressReport::secondsLeft() const {
    if (!percent_ || *percent_ <= 0 || *percent_ >= 100) return std::nullopt;
    const auto spent =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stepStart_);
    return (spent.count() * (100 - *percent_) / *percent_ + 999) / 1000;
}

void ProgressReport::step(const std::string& name, int status) {
    step_ = name;
    stepStart_ = std::chrono::steady_clock::now();
    percent_.reset();
    stepBaseline_ = progressPercent(status);
    switch (form_) {
        case ReportForm::Terminal:
            drawTerminalLine();
            break;
        case ReportForm::Plain:
            printLine("step: " + name);
            break;
        case ReportForm::Json:
            printLine("{\"event\":\"step\",\"step\":" + jsonString(name) + "}");
            break;
    }
}

void ProgressReport::progress(int status) {
    const std::optional<int> percent = progressPercent(status);
    if (!percent || percent == percent_ || *percent >= 100 || (!percent_ && percent == stepBaseline_)) return;
    percent_ = percent;
    const auto left = secondsLeft();
    switch (form_) {
        case ReportForm::Terminal:
            drawTerminalLine();
            break;
        case ReportForm::Plain:
            printLine("progress: " + std::to_string(*percent) + " %" +
                      (left ? ", about " + std::to_string(*left) + " s left" : std::string()));
            break;
        case ReportForm::Json:
            printLine("{\"event\":\"progress\",\"step\":" + jsonString(step_) +
                      ",\"percent\":" + std::to_string(*percent) +
                      ",\"seconds_left\":" + (left ? std::to_string(*left) : std::string("null")) + "}");
            break;
    }
}

void ProgressReport::alert(const std::string& text) {
    printLine(form_ == ReportForm::Json ? "{\"event\":\"alert\",\"text\":" + jsonString(text) + "}" : "ALERT: " + text);
}

void ProgressReport::ended() {
    eraseTerminalLine();
    step_.clear();
    std::fflush(out_);
}

void ProgressReport::outcome(const std::string& outcome, const std::string& cause, int exitCode) {
    const std::string text(outcome == "Complete" ? kCompleteBottomText : kFailedBottomText);
    step_.clear();
    if (form_ == ReportForm::Json) {
        printLine(std::string("{\"event\":\"outcome\",\"outcome\":") + jsonString(outcome) + ",\"text\":" +
                  jsonString(text) + ",\"cause\":" + jsonString(cause) + ",\"exit\":" + std::to_string(exitCode) + "}");
        return;
    }
    printLine(text);
    printLine("cause: " + cause);
}

void ProgressReport::record(const std::string& folder) {
    printLine(form_ == ReportForm::Json ? "{\"event\":\"record\",\"folder\":" + jsonString(folder) + "}"
                                        : "record: " + folder);
}

}  // namespace quill::cli
