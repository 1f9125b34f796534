#include "replay_device.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

#include "conv/hexfield.h"

namespace convsim {

using conv::wire::Kind;

namespace {

std::optional<Identity> identityOf(std::uint16_t vid, std::uint16_t pid) {
    for (Identity id : {Identity::Normal, Identity::Loader})
        if (vendorId(id) == vid && productId(id) == pid) return id;
    return std::nullopt;
}

// An argument or report named in a note: an A line (130 characters) whole, a longer one by its start.
std::string excerpt(std::string text) {
    if (text.size() <= kNamedArgument) return text;
    return text.substr(0, kNamedArgument) + "... (" + std::to_string(text.size()) + " characters)";
}

bool isHostEvent(const ReplayEntry& e) { return e.event.kind == Kind::Open || e.event.kind == Kind::Out; }
bool foundDevice(const ReplayEntry& e) {
    return e.event.kind == Kind::Open && e.event.open == conv::wire::OpenResult::Opened;
}

}  // namespace

std::variant<ReplayRecording, std::string> parseRecording(std::string_view text) {
    ReplayRecording recording;
    bool inRun = false;
    std::vector<Identity> opened;  // what the current run has opened
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
            opened.clear();
        } else if (!inRun) {
            return where + "event outside a run (no \"run\" line before it since the last \"end\")";
        } else if (kind == Kind::End) {
            inRun = false;
        } else {
            const auto id = identityOf(entry.event.vendorId, entry.event.productId);
            if (!id) return where + "identity is not one of the converter's (0416:a316, 0e7b:0bf2)";
            entry.identity = *id;
            if (kind == Kind::Open) {
                if (entry.event.open == conv::wire::OpenResult::Opened) opened.push_back(*id);
            } else if (std::find(opened.begin(), opened.end(), *id) == opened.end()) {
                return where + "report of " + conv::identityText(entry.event.vendorId, entry.event.productId) +
                       " before its run opened it";
            } else {
                entry.reportNo = ++reports;
            }
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

ReplayDevice::ReplayDevice(ReplayRecording recording, bool fast) : recording_(std::move(recording)), fast_(fast) {
    const auto& entries = recording_.entries;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].event.kind == Kind::Run) {
            runStart_.push_back(i);
            runEnded_.push_back(false);
            runOpens_.push_back(false);
        } else if (entries[i].event.kind == Kind::End) {
            runEnded_.back() = true;
        } else if (entries[i].event.kind == Kind::Open) {
            runOpens_.back() = true;
        }
    }
}

std::string ReplayDevice::runText(std::size_t run) const {
    std::string arg = run < recording_.runs.size() ? recording_.runs[run] : std::string();
    while (!arg.empty() && (arg.back() == '\n' || arg.back() == '\r')) arg.pop_back();
    return excerpt(std::move(arg));
}

std::size_t ReplayDevice::nextInRun() const {
    const auto& entries = recording_.entries;
    for (std::size_t i = cursor_; paired_ && i < entries.size() && entries[i].run == *paired_; ++i)
        if (isHostEvent(entries[i])) return i;
    return std::string::npos;
}

void ReplayDevice::leaveUnused(std::size_t from) {
    const auto& entries = recording_.entries;
    for (std::size_t i = from; paired_ && i < entries.size() && entries[i].run == *paired_; ++i) {
        if (!foundDevice(entries[i]) && entries[i].event.kind != Kind::Out) continue;
        ++unused_;
        if (firstUnused_ == nullptr) firstUnused_ = &entries[i];
    }
}

void ReplayDevice::pair(HostRun run, Identity wanted) {
    const auto& entries = recording_.entries;
    // What the last host run left of its recorded run stays unused.
    if (paired_) {
        leaveUnused(cursor_);
        cursor_ = *paired_ + 1 < runStart_.size() ? runStart_[*paired_ + 1] : entries.size();
    }
    host_ = run;
    paired_.reset();
    beyondNoted_ = false;
    // The first run that opens a device, passing over runs that touch none.
    std::optional<std::size_t> first;
    for (std::size_t r = cursor_ < entries.size() ? entries[cursor_].run : runStart_.size(); r < runStart_.size();
         ++r) {
        std::size_t i = runStart_[r] + 1;
        while (i < entries.size() && entries[i].run == r && !isHostEvent(entries[i])) ++i;
        if (i >= entries.size() || entries[i].run != r) continue;  // touched no device
        if (!first) first = r;
        if (entries[i].event.kind != Kind::Open) break;
        if (foundDevice(entries[i])) {
            // Runs that found nothing before it are passed over; they sent nothing.
            if (entries[i].identity == wanted) paired_ = r;
            break;
        }
    }
    if (!paired_ && first) {
        std::size_t i = runStart_[*first] + 1;
        while (!isHostEvent(entries[i])) ++i;
        if (entries[i].event.kind == Kind::Open && !foundDevice(entries[i]) && entries[i].identity == wanted)
            paired_ = first;
    }
    if (paired_) {
        cursor_ = runStart_[*paired_] + 1;
        lastPaired_ = paired_;
    } else if (!first) {
        // No recorded run that meets a device is left: the host goes on beyond the recording.
        const std::size_t last = lastPaired_.value_or(0);
        stop("replay diverged: the recording has no run left after run " + std::to_string(lastPaired_ ? last + 1 : 0) +
             (lastPaired_ ? " (" + runText(last) + ")" : std::string()) + "; the host went on with one more");
    }
}

bool ReplayDevice::beyondKilledRun() {
    if (!paired_ || runEnded_[*paired_]) return false;
    if (std::exchange(beyondNoted_, true)) return true;
    events_.push_back(
        {Event::Kind::Note,
         Identity::None,
         {},
         "run " + runText(*paired_) + " goes beyond its recording, where it was killed; the rest is not compared"});
    return true;
}

Identity ReplayDevice::identity() const {
    if (diverged_) return Identity::None;
    const auto& entries = recording_.entries;
    for (std::size_t i = cursor_; i < entries.size(); ++i) {
        if (foundDevice(entries[i])) return entries[i].identity;
        if (entries[i].event.kind == Kind::Out) break;
    }
    return present_;
}

bool ReplayDevice::open(Identity wanted, HostRun run, Micros now) {
    if (diverged_) return false;
    if (host_ != run) pair(run, wanted);
    if (diverged_) return false;
    const std::size_t next = nextInRun();
    if (next == std::string::npos) {
        // A run the recording lacks (one more poll), or a killed run going further: not there.
        if (paired_ && !beyondKilledRun()) diverge("the end of run " + runText(*paired_), 0, {});
        if (present_ == wanted) present_ = Identity::None;
        return false;
    }
    const ReplayEntry& e = recording_.entries[next];
    if (e.event.kind != Kind::Open || e.identity != wanted) {
        diverge(e.event.kind == Kind::Out
                    ? conv::wire::hexText(e.event.bytes)
                    : "an open of " + conv::identityText(vendorId(e.identity), productId(e.identity)),
                e.reportNo, {});
        return false;
    }
    const bool found = foundDevice(e);
    present_ = found ? wanted : (present_ == wanted ? Identity::None : present_);
    matched(next, now);
    return found;
}

void ReplayDevice::write(Identity to, std::span<const std::uint8_t> report, HostRun run, Micros now) {
    if (diverged_) return;
    if (host_ != run) {
        diverge("an open first", 0, report);
        return;
    }
    const std::size_t next = nextInRun();
    if (next == std::string::npos) {
        if (!beyondKilledRun()) diverge(paired_ ? "the end of run " + runText(*paired_) : "no write", 0, report);
        return;
    }
    const ReplayEntry& e = recording_.entries[next];
    if (e.event.kind != Kind::Out || e.identity != to ||
        !std::equal(report.begin(), report.end(), e.event.bytes.begin(), e.event.bytes.end())) {
        diverge(e.event.kind == Kind::Out
                    ? conv::wire::hexText(e.event.bytes)
                    : "an open of " + conv::identityText(vendorId(e.identity), productId(e.identity)),
                e.reportNo, report);
        return;
    }
    matched(next, now);
    if (e.event.n < 0) leave(to);  // the recorded write found the device gone
}

void ReplayDevice::matched(std::size_t index, Micros now) {
    const auto& entries = recording_.entries;
    const ReplayEntry& host = entries[index];
    std::size_t i = index + 1;
    for (; i < entries.size() && (entries[i].event.kind == Kind::In || entries[i].event.kind == Kind::Drop); ++i) {
        // A report dropped before a write is not sent: the host drops what is queued before its
        // write, and one sent after it has looked would reach it behind that write instead.
        if (entries[i].event.kind == Kind::Drop) continue;
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
        }                          // n == 0: the recorded read waited in vain; nothing to send
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

void ReplayDevice::diverge(const std::string& expected, std::size_t reportNo, std::span<const std::uint8_t> got) {
    const auto& entries = recording_.entries;
    // An open has no report number: name the report that follows it.
    for (std::size_t i = std::min(cursor_, entries.size()); reportNo == 0 && i < entries.size(); ++i)
        reportNo = entries[i].reportNo;
    if (reportNo == 0)
        for (const auto& e : entries) reportNo = std::max(reportNo, e.reportNo + 1);
    const std::size_t run = paired_ ? *paired_ : recording_.runs.size() - 1;
    stop("replay diverged at report " + std::to_string(reportNo) + " (run " + runText(run) + "): expected " +
         excerpt(expected) + ", got " + (got.empty() ? std::string("an open") : excerpt(conv::wire::hexText(got))));
}

void ReplayDevice::stop(std::string note) {
    events_.push_back({Event::Kind::Note, Identity::None, {}, std::move(note)});
    diverged_ = true;
    deliveries_.clear();
    for (Identity id : {Identity::Normal, Identity::Loader}) leave(id);
    present_ = Identity::None;
}

int ReplayDevice::finish(Micros now) {
    advance(now);
    auto note = [this](std::string text) {
        events_.push_back({Event::Kind::Note, Identity::None, {}, std::move(text)});
    };
    if (diverged_) {
        note("replay stopped after diverging");
        return kReplayFailed;
    }
    // Recorded runs after the last one a host run was paired with: the host stopped too soon.
    std::size_t more = 0;
    for (std::size_t r = lastPaired_ ? *lastPaired_ + 1 : 0; r < runOpens_.size(); ++r) more += runOpens_[r];
    if (more > 0) {
        note("replay diverged: the host stopped after run " + std::to_string(lastPaired_ ? *lastPaired_ + 1 : 0) +
             "; the recording has " + std::to_string(more) + " more run" + (more == 1 ? "" : "s"));
        return kReplayFailed;
    }
    // The rest of the paired run and every later run that found a device, and reads not yet sent.
    leaveUnused(cursor_);
    const auto& entries = recording_.entries;
    const std::size_t later = paired_ && *paired_ + 1 < runStart_.size() ? runStart_[*paired_ + 1]
                              : paired_                                  ? entries.size()
                                                                         : cursor_;
    for (std::size_t i = later; i < entries.size(); ++i) {
        if (!foundDevice(entries[i]) && entries[i].event.kind != Kind::Out) continue;
        ++unused_;
        if (firstUnused_ == nullptr) firstUnused_ = &entries[i];
    }
    unused_ += deliveries_.size();
    if (firstUnused_ == nullptr && !deliveries_.empty()) firstUnused_ = deliveries_.front().entry;
    if (firstUnused_ != nullptr) {  // set with the first one counted
        note("replay ended with " + std::to_string(unused_) + " recorded events unused, the first at line " +
             std::to_string(firstUnused_->line) + " (run " + runText(firstUnused_->run) + ")");
        return kReplayFailed;
    }
    note("replay complete: every recorded report matched");
    return 0;
}

}  // namespace convsim
