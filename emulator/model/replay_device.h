#pragma once
// A recorded converter played back: the wire recording that tavik writes with TAVIK_RECORD
// (conv/wirerecord.h) becomes a device that expects the same writes and answers with the
// reports that were read.
//
// Matching, run by run (a host run is one process, a recorded run one "run" line):
//  - A host run is paired with the next recorded run at its first open. A recorded run that
//    found no device may be passed over when a later run finds the identity opened, with no run
//    in between that found a device; a host run whose open the recording cannot place is
//    answered "absent". A host that polls more or fewer times while the recording shows no
//    device has sent nothing either way.
//  - Within the pair, each open gets the recorded result, and each report written must equal the
//    next recorded one (identity and bytes). The reports the recorded run read after it are then
//    sent, at the recorded pace or at once. A recorded read that found the device gone makes its
//    identity leave.
//  - A recorded run without "end" was killed by the host at its time limit; what the host run
//    does beyond its recorded events is taken without looking (opens answered "absent").
//  - Recorded events that a host run leaves unused (it ended or was killed sooner) stay unused;
//    the next host run is paired with the next recorded run all the same.
//  - Reports the device sent but no run read were never recorded and are never sent; those a run
//    dropped unread before a write ("drop") are not sent either.
// The first write that differs is logged ("replay diverged at report N (run ARG): expected HEX,
// got HEX"); from then on the device is gone for good and finish() returns 3. So is a host run
// that opens a device when no recorded run that does is left ("the recording has no run left
// after run N"). finish() also returns 3 when recorded runs that open a device are left after the
// last one paired ("the host stopped after run N; the recording has K more runs"), or recorded
// opens, writes or reads are left unused.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "conv/wirerecord.h"
#include "served_device.h"

namespace convsim {

inline constexpr int kReplayFailed = 3;
// A note names a recorded run's argument or a report's hex by at most this many characters.
inline constexpr std::size_t kNamedArgument = 160;

struct ReplayEntry {
    conv::wire::Event event;
    Identity identity = Identity::None;  // Open, Out, In
    std::size_t run = 0;                 // index into ReplayRecording::runs
    std::size_t line = 0;                // line in the file, from 1
    std::size_t reportNo = 0;            // Out, In: position among all recorded reports, from 1
};

struct ReplayRecording {
    std::vector<std::string> runs;  // each run's argument
    std::vector<ReplayEntry> entries;
};

// Reads a recording; the error names the file's line ("LINE N: why").
std::variant<ReplayRecording, std::string> parseRecording(std::string_view text);
std::variant<ReplayRecording, std::string> loadRecording(const std::string& path);

class ReplayDevice final : public ServedDevice {
public:
    // fast: the recorded reads are sent at once instead of at their recorded distance.
    ReplayDevice(ReplayRecording recording, bool fast);

    // The identity there now: the one the next recorded run finds, else the one last opened.
    Identity identity() const override;
    bool open(Identity wanted, HostRun run, Micros now) override;
    void write(Identity to, std::span<const std::uint8_t> report, HostRun run, Micros now) override;
    void advance(Micros now) override;
    std::optional<Micros> nextDeadline() const override;
    std::vector<Event> takeEvents() override { return std::exchange(events_, {}); }
    const FlashState* flash() const override { return nullptr; }
    std::uint64_t flashRevision() const override { return 0; }
    int finish(Micros now) override;

    bool diverged() const { return diverged_; }

private:
    struct Delivery {
        Micros due;
        const ReplayEntry* entry;
    };
    // Pairs a new host run, whose first action is an open of `wanted`, with a recorded run.
    void pair(HostRun run, Identity wanted);
    // Index of the next open or written report of the paired recorded run; npos past its end.
    std::size_t nextInRun() const;
    // The host run went beyond its recorded events: true when that run was killed then.
    bool beyondKilledRun();
    // Counts the paired run's events from `from` on as unused.
    void leaveUnused(std::size_t from);
    // The entry at `index` was matched at `now`: schedule the reads recorded after it.
    void matched(std::size_t index, Micros now);
    void leave(Identity identity);
    void diverge(const std::string& expected, std::size_t reportNo, std::span<const std::uint8_t> got);
    // Notes why the replay stops; from then on the device is gone for good.
    void stop(std::string note);
    std::string runText(std::size_t run) const;

    ReplayRecording recording_;
    bool fast_;
    std::vector<std::size_t> runStart_;      // entry index of each run's "run" line
    std::vector<bool> runEnded_;             // the run has its "end" line
    std::vector<bool> runOpens_;             // the run opens a device (found or not)
    std::optional<std::size_t> lastPaired_;  // the latest recorded run a host run was paired with
    std::size_t cursor_ = 0;                 // next entry to match
    std::optional<HostRun> host_;            // the host run paired last
    std::optional<std::size_t> paired_;      // its recorded run; nullopt: one the recording lacks
    bool beyondNoted_ = false;               // the paired run went beyond its killed recording
    std::size_t unused_ = 0;
    const ReplayEntry* firstUnused_ = nullptr;
    std::deque<Delivery> deliveries_;
    Identity present_ = Identity::None;
    bool diverged_ = false;
    std::vector<Event> events_;
};

}  // namespace convsim
