#pragma once
// A recorded converter played back: the wire recording that tavik writes with TAVIK_RECORD
// (conv/wirerecord.h) becomes a device that expects the same writes and answers with the
// reports that were read.
//
// Matching, in the recording's order:
//  - Each report the host writes must equal the next recorded written report (same identity,
//    same bytes). The reports the recorded runs read after it are then sent, at the recorded
//    pace or at once. A recorded read that found the device gone makes its identity leave.
//  - An open is answered "present" when the next recorded open that found a device is an open
//    of that identity with nothing recorded written in between; the recorded runs that found no
//    device before it are passed over. Any other open is answered "absent": a host that polls
//    more or fewer times while the recording shows no device has sent nothing either way.
//  - Reports the device sent but no run read were never recorded and are never sent.
// The first write that differs is logged ("replay diverged at report N (run ARG): expected HEX,
// got HEX"); from then on the device is gone for good and finish() returns 3. finish() also
// returns 3 when recorded opens, writes or reads are left unused.
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
    bool open(Identity wanted, Micros now) override;
    void write(Identity to, std::span<const std::uint8_t> report, Micros now) override;
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
    // Index of the next recorded open (found a device) or write, passing over runs that found
    // no device; entries.size() at the end.
    std::size_t nextSignificant(std::size_t from) const;
    std::size_t skipMarkers(std::size_t from) const;
    // The entry at `index` was matched at `now`: schedule the reads recorded after it.
    void matched(std::size_t index, Micros now);
    void leave(Identity identity);
    void diverge(std::size_t expectedIndex, std::span<const std::uint8_t> got);
    std::string runText(std::size_t run) const;

    ReplayRecording recording_;
    bool fast_;
    std::size_t cursor_ = 0;
    std::deque<Delivery> deliveries_;
    Identity present_ = Identity::None;
    bool diverged_ = false;
    std::vector<Event> events_;
};

}  // namespace convsim
