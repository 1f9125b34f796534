#pragma once
// How far a whole START update has come and how long it still takes. The sequence's phases come
// in a known order, each with the pauses it makes and the tool runs it starts at the least; the
// runs take the pace the transfers show (one run per A packet or B line), measured as they go.
// Every call is given the time, so that a test drives it with a clock of its own.
#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quill {

// The phases of the START sequence in their order, as Log::phase() names them.
inline constexpr std::string_view kPhaseFileCheck = "file check";
inline constexpr std::string_view kPhaseIntoLoader = "into the loader";
inline constexpr std::string_view kPhaseATransfer = "A transfer";
inline constexpr std::string_view kPhaseRestart = "restart and into the loader again";
inline constexpr std::string_view kPhaseIntoB = "into B mode";
inline constexpr std::string_view kPhaseBTransfer = "B transfer";
inline constexpr std::string_view kPhaseBurn = "burn";
inline constexpr std::string_view kPhaseLeave = "leaving update mode";

// What a tool run is taken to cost until a transfer has shown its pace.
inline constexpr std::chrono::milliseconds kAssumedRun{4};

struct ProgressEstimate {
    int percent = 0;                           // of the whole update: 0 to 99 while it runs, never going back
    std::optional<std::chrono::seconds> left;  // rounded up; unknown until the firmware's size is
    std::string step;                          // the phase it is in; empty before the first
};

class UpdateProgress {
public:
    using Time = std::chrono::steady_clock::time_point;
    // bcode: the B code is written too; pauseFactor: what the core multiplies its pauses by (the
    // time scale times the pause scale).
    UpdateProgress(bool bcode, double pauseFactor, Time start);

    // The firmware's size in runs, once the update has read it.
    void firmware(std::size_t aPackets, std::size_t bLines);
    // The update entered the phase `name` (one it does not know changes nothing).
    void phase(std::string_view name, Time now);
    // The transfer under way has sent `sent` of its packets or lines.
    void transferred(std::size_t sent, Time now);

    ProgressEstimate at(Time now);

private:
    struct Plan {
        std::string_view name;
        std::chrono::milliseconds pauses;  // before the pause factor
        std::size_t runs;                  // at the least, besides the transfer's own
    };
    // The sequence of FrontCore::sequence(), each device wait with the tries a converter takes as
    // a rule: its loader is there on the second look (it re-enumerates in about half a second),
    // normal mode on the first after the 3 s pause, the status C4 on the first, D0 on the second.
    static constexpr std::array<Plan, 8> kPlan{{{kPhaseFileCheck, std::chrono::milliseconds(0), 0},
                                                {kPhaseIntoLoader, std::chrono::milliseconds(20 + 2000), 22},
                                                {kPhaseATransfer, std::chrono::milliseconds(1000), 1},
                                                {kPhaseRestart, std::chrono::milliseconds(3000 + 2000 + 3000), 16},
                                                {kPhaseIntoB, std::chrono::milliseconds(1 + 1 + 400), 41},
                                                {kPhaseBTransfer, std::chrono::milliseconds(0), 0},
                                                {kPhaseBurn, std::chrono::milliseconds(2000 + 4000), 4},
                                                {kPhaseLeave, std::chrono::milliseconds(6000 + 60 + 60), 62}}};

    bool planned(std::size_t phase) const;
    std::size_t units(std::size_t phase) const;  // the transfer's packets or lines
    std::chrono::duration<double> estimate(std::size_t phase) const;
    std::chrono::duration<double> pace() const;

    bool bcode_;
    double pauseFactor_;
    Time start_;
    std::size_t aPackets_ = 0, bLines_ = 0;
    std::optional<std::size_t> phase_;  // index into kPlan
    Time phaseStart_;
    std::size_t sent_ = 0;
    // The transfer's first sight of a sent unit, and its pace since: the latest measured wins.
    std::optional<std::pair<Time, std::size_t>> paceFrom_;
    std::optional<std::chrono::duration<double>> pace_;
    int percent_ = 0;
};

}  // namespace quill
