#include "replay_device.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

namespace convsim {

using conv::wire::Kind;

namespace {

std::optional<Identity> identityOf(std::uint16_t vid, std::uint16_t pid) {
    for (Identity id : {Identity::Normal, Identity::Loader})
        if (vendorId(id) == vid && productId(id) == pid) return id;
    return std::nullopt;
}

bool isHostEvent(const ReplayEntry& e) { return e.event.kind == Kind::Open || e.event.kind == Kind::Out; }
bool foundDevice(const ReplayEntry& e) {
    return e.event.kind == Kind::Open && e.event.open == conv::wire::OpenResult::Opened;
}

}  // namespace

std::variant<ReplayRecording, std::string> parseRecording(std::string_view text) {
    ReplayRecording recording;
    bool inRun = false;
    std::size_t reports = 0;
    std::size_t lineNo = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        ++lineNo;
        const std::size_t end = text.find('\n', pos);
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (end == std::string_view::npos) return where + "cut off (no line end): the recording is truncated";
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        auto parsed = conv::wire::parseLine(line);
        if (auto* error = std::get_if<std::string>(&parsed)) return where + *error;
        ReplayEntry entry;
        entry.event = std::move(std::get<conv::wire::Event>(parsed));
        entry.line = lineNo;
        const Kind kind = entry.event.kind;
        if (kind == Kind::Run) {
            // A run without "end" was killed from outside; the next run begins all the same.
            recording.runs.push_back(entry.event.arg);
            inRun = true;
        } else if (!inRun) {
            return where + "event outside a run (no \"run\" line before it since the last \"end\")";
        } else if (kind == Kind::End) {
            inRun = false;
        } else {
            const auto id = identityOf(entry.event.vendorId, entry.event.productId);
            if (!id) return where + "identity is not one of the converter's (0416:a316, 0e7b:0bf2)";
            entry.identity = *id;
            if (kind != Kind::Open) entry.reportNo = ++reports;
        }
        entry.run = recording.runs.empty() ? 0 : recording.runs.size() - 1;
        recording.entries.push_back(std::move(entry));
    }
    if (recording.runs.empty()) return std::string("line 1: no run recorded");
    return recording;
}

std::variant<ReplayRecording, std::string> loadRecording(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return path + ": cannot be read";
    std::ostringstream text;
    text << in.rdbuf();
    auto parsed = parseRecording(text.str());
    if (auto* error = std::get_if<std::string>(&parsed)) return path + " " + *error;
    return parsed;
}

ReplayDevice::ReplayDevice(ReplayRecording recording, bool fast) : recording_(std::move(recording)), fast_(fast) {}

std::size_t ReplayDevice::skipMarkers(std::size_t from) const {
    const auto& entries = recording_.entries;
    while (from < entries.size() && !isHostEvent(entries[from])) ++from;
    return from;
}

std::size_t ReplayDevice::nextSignificant(std::size_t from) const {
    const auto& entries = recording_.entries;
    for (; from < entries.size(); ++from)
        if (foundDevice(entries[from]) || entries[from].event.kind == Kind::Out) break;
    return from;
}

std::string ReplayDevice::runText(std::size_t run) const {
    std::string arg = run < recording_.runs.size() ? recording_.runs[run] : std::string();
    while (!arg.empty() && (arg.back() == '\n' || arg.back() == '\r')) arg.pop_back();
    return arg;
}

Identity ReplayDevice::identity() const {
    if (diverged_) return Identity::None;
    const std::size_t next = nextSignificant(cursor_);
    return next < recording_.entries.size() && foundDevice(recording_.entries[next]) ? recording_.entries[next].identity
                                                                                     : present_;
}

bool ReplayDevice::open(Identity wanted, Micros now) {
    if (diverged_) return false;
    const auto& entries = recording_.entries;
    const std::size_t next = nextSignificant(cursor_);
    if (next < entries.size() && foundDevice(entries[next]) && entries[next].identity == wanted) {
        present_ = wanted;
        matched(next, now);
        return true;
    }
    // Not there: take the recorded open that found nothing, when that is what comes next.
    const std::size_t host = skipMarkers(cursor_);
    if (host < entries.size() && entries[host].event.kind == Kind::Open && !foundDevice(entries[host]) &&
        entries[host].identity == wanted) {
        cursor_ = host + 1;
    }
    if (present_ == wanted) present_ = Identity::None;
    return false;
}

void ReplayDevice::write(Identity to, std::span<const std::uint8_t> report, Micros now) {
    if (diverged_) return;
    const auto& entries = recording_.entries;
    const std::size_t next = nextSignificant(cursor_);
    if (next >= entries.size() || entries[next].event.kind != Kind::Out || entries[next].identity != to ||
        !std::equal(report.begin(), report.end(), entries[next].event.bytes.begin(), entries[next].event.bytes.end())) {
        diverge(next, report);
        return;
    }
    matched(next, now);
    if (entries[next].event.n < 0) leave(to);  // the recorded write found the device gone
}

void ReplayDevice::matched(std::size_t index, Micros now) {
    const auto& entries = recording_.entries;
    const ReplayEntry& host = entries[index];
    std::size_t i = index + 1;
    for (; i < entries.size() && entries[i].event.kind == Kind::In; ++i) {
        const Micros distance = fast_ ? 0 : std::max<Micros>(0, entries[i].event.t - host.event.t);
        deliveries_.push_back({now + distance, &entries[i]});
    }
    cursor_ = i;
    advance(now);
}

void ReplayDevice::advance(Micros now) {
    while (!deliveries_.empty() && deliveries_.front().due <= now) {
        const ReplayEntry& read = *deliveries_.front().entry;
        deliveries_.pop_front();
        if (read.event.n > 0) {
            events_.push_back({Event::Kind::Input, read.identity, read.event.bytes, {}});
        } else if (read.event.n < 0) {
            leave(read.identity);  // the recorded read found the device gone
        }  // n == 0: the recorded read waited in vain; nothing to send
    }
}

std::optional<Micros> ReplayDevice::nextDeadline() const {
    if (deliveries_.empty()) return std::nullopt;
    return deliveries_.front().due;
}

void ReplayDevice::leave(Identity identity) {
    if (present_ == identity) present_ = Identity::None;
    events_.push_back({Event::Kind::Left, identity, {}, {}});
}

void ReplayDevice::diverge(std::size_t expectedIndex, std::span<const std::uint8_t> got) {
    const auto& entries = recording_.entries;
    std::string expected = "nothing more";
    std::size_t reportNo = 1;
    std::size_t run = recording_.runs.size() - 1;
    for (const auto& e : entries) reportNo = std::max(reportNo, e.reportNo + 1);
    if (expectedIndex < entries.size()) {
        const ReplayEntry& e = entries[expectedIndex];
        run = e.run;
        reportNo = e.reportNo;
        if (e.event.kind == Kind::Out) {
            expected = conv::wire::hexText(e.event.bytes);
        } else {
            // An open that found the device: its report number is that of the next report.
            for (std::size_t i = expectedIndex; i < entries.size() && reportNo == 0; ++i) reportNo = entries[i].reportNo;
            expected = "an open of " + conv::wire::identityText(vendorId(e.identity), productId(e.identity));
        }
    }
    events_.push_back({Event::Kind::Note, Identity::None, {},
                       "replay diverged at report " + std::to_string(reportNo) + " (run " + runText(run) +
                           "): expected " + expected + ", got " + conv::wire::hexText(got)});
    diverged_ = true;
    deliveries_.clear();
    for (Identity id : {Identity::Normal, Identity::Loader}) leave(id);
    present_ = Identity::None;
}

int ReplayDevice::finish(Micros now) {
    advance(now);
    auto note = [this](std::string text) { events_.push_back({Event::Kind::Note, Identity::None, {}, std::move(text)}); };
    if (diverged_) {
        note("replay stopped after diverging");
        return kReplayFailed;
    }
    const auto& entries = recording_.entries;
    std::size_t unused = deliveries_.size();
    const ReplayEntry* first = deliveries_.empty() ? nullptr : deliveries_.front().entry;
    for (std::size_t i = nextSignificant(cursor_); i < entries.size(); i = nextSignificant(i + 1)) {
        ++unused;
        if (first == nullptr) first = &entries[i];
    }
    if (first != nullptr) {
        note("replay ended with " + std::to_string(unused) + " recorded events unused, the first at line " +
             std::to_string(first->line) + " (run " + runText(first->run) + ")");
        return kReplayFailed;
    }
    note("replay complete: every recorded report matched");
    return 0;
}

}  // namespace convsim
