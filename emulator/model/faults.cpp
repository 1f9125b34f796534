#include "faults.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace convsim {

namespace {
std::optional<std::int64_t> parseCount(std::string_view text) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size() || value < 1 || value > 0xFFFFFFFF) return std::nullopt;
    return value;
}
}  // namespace

// Every fault, as `--help` lists it and emulator/README.md tables it.
constexpr auto kFaultTable = std::to_array<FaultHelp>(
    {{"silent-loader", "the loader enumerates but never answers nor acts on any packet"},
     {"no-loader", "start A makes normal mode leave, but normal mode comes back instead of the loader"},
     {"bad-ack@N",
      "A packet N (first packet 0xA0 = 1, continuations 2, 3, ...) is taken with bit 0 of its last byte flipped, so "
      "its reply's checksum is wrong and the stored image differs"},
     {"unplug@N",
      "the device vanishes on A packet N (not answered, not stored): connections close; after the re-enumeration delay "
      "it re-appears as a re-plugged converter does: as the loader, since the first packet erased the image (normal "
      "mode if N = 1 left the old image whole)"},
     {"unplug-before@N",
      "between two A packets: the device vanishes as a tool run opens the loader for A packet N (A packet N - 1 was "
      "taken and answered); it re-appears as for unplug@N"},
     {"unplug-b@N",
      "the device vanishes on B line N; it re-appears in normal mode, out of update mode, lines held lost"},
     {"no-return",
      "run application: the loader leaves and the converter never comes back, as a unit whose new application does not "
      "start"},
     {"unplug-burn",
      "the device vanishes on the burn frame, before it burns: the B code stays as it was; it re-appears in normal "
      "mode, out of update mode"},
     {"bad-echo@N", "B line N is kept and echoed with its last data byte inverted"},
     {"no-c4", "B lines never raise the C4 status (it stays B0)"},
     {"no-d0", "the burn fails: status E0, B code in flash unchanged"},
     {"slow-reenum=MS", "re-enumeration takes MS milliseconds instead of --reenum-ms"},
     {"garbage-replies", "every input report (replies, echoes, status) is replaced by as many random bytes"},
     {"short-replies", "every input report is cut to its first 4 bytes"},
     {"long-replies", "every input report is followed by as many 0xEE filler bytes (the report itself is intact)"},
     {"flood", "normal mode sends status reports ten times a millisecond, in and out of update mode"},
     {"flood=N",
      "every B-line echo comes after exactly N status reports (N from 1 to 62) instead of zero to two, queued with it "
      "and sent one a frame after the write, so no timing reorders them (only reports sent before the line can come "
      "first); with the echo they fit the 63 reports a hidraw file queues"},
     {"absent", "no converter is plugged in: neither identity appears, every open finds nothing"},
     {"out-slow@N=MS", "hidraw only: write N is NAKed for MS ms, so it returns late; then the device takes it"},
     {"out-timeout@N",
      "hidraw only: write N is NAKed until it fails with ETIMEDOUT after 5 s; the device gets nothing"},
     {"out-stall@N", "hidraw only: write N fails at once with EPIPE; the device gets nothing"},
     {"slow-leave=MS",
      "hidraw only: an identity told to leave drops off the bus MS ms later, listed but deaf meanwhile; an open of it "
      "then waits for the leaving and succeeds on the gone node, whose descriptor query fails with ENODEV, as the "
      "kernel answers an open that a leaving overlaps"}});

std::span<const FaultHelp> faultTable() { return kFaultTable; }

std::string faultNames() {
    std::string names;
    for (const FaultHelp& fault : kFaultTable) names += (names.empty() ? "" : ", ") + std::string(fault.syntax);
    return names;
}

std::optional<std::string> addFault(Faults& faults, std::string_view faultText) {
    const std::size_t sep = faultText.find_first_of("@=");
    const std::string_view name = faultText.substr(0, sep);
    const std::optional<std::string_view> arg =
        sep == std::string_view::npos ? std::nullopt : std::optional(faultText.substr(sep + 1));
    const std::string quoted = "'" + std::string(faultText) + "'";
    // Only what the table lists is a fault.
    const auto listed = std::find_if(kFaultTable.begin(), kFaultTable.end(), [&](const FaultHelp& fault) {
        return fault.syntax.substr(0, fault.syntax.find_first_of("@=")) == name;
    });
    if (listed == kFaultTable.end()) return "unknown fault " + quoted + "; known faults: " + faultNames();

    // Plain `flood` is the flag below; with a number it is the echo's fixed place.
    if (name == "flood" && arg) {
        auto n = parseCount(*arg);
        if (!n || *n > kMaxFloodEcho)
            return "fault " + quoted + " needs a number of status reports from 1 to " + std::to_string(kMaxFloodEcho) +
                   ", as flood=N";
        faults.floodEcho = static_cast<std::uint32_t>(*n);
        return std::nullopt;
    }

    struct Flag {
        std::string_view name;
        bool Faults::*member;
    };
    static constexpr Flag flags[] = {
        {"silent-loader", &Faults::silentLoader},
        {"no-loader", &Faults::noLoader},
        {"no-c4", &Faults::noC4},
        {"no-d0", &Faults::noD0},
        {"no-return", &Faults::noReturn},
        {"garbage-replies", &Faults::garbageReplies},
        {"short-replies", &Faults::shortReplies},
        {"long-replies", &Faults::longReplies},
        {"flood", &Faults::flood},
        {"absent", &Faults::absent},
        {"unplug-burn", &Faults::unplugBurn},
    };
    for (const Flag& flag : flags) {
        if (name != flag.name) continue;
        if (arg) return "fault " + quoted + " takes no number";
        faults.*flag.member = true;
        return std::nullopt;
    }

    struct Counted {
        std::string_view name;
        std::optional<std::uint32_t> Faults::*member;
    };
    static constexpr Counted counted[] = {
        {"bad-ack", &Faults::badAck},   {"unplug", &Faults::unplug},
        {"unplug-b", &Faults::unplugB}, {"unplug-before", &Faults::unplugBefore},
        {"bad-echo", &Faults::badEcho},
    };
    for (const Counted& c : counted) {
        if (name != c.name) continue;
        auto n = arg ? parseCount(*arg) : std::nullopt;
        if (!n) return "fault " + quoted + " needs a packet or line number from 1, as " + std::string(c.name) + "@N";
        faults.*c.member = static_cast<std::uint32_t>(*n);
        return std::nullopt;
    }

    if (name == "out-timeout" || name == "out-stall") {
        auto n = arg ? parseCount(*arg) : std::nullopt;
        if (!n) return "fault " + quoted + " needs a write number from 1, as " + std::string(name) + "@N";
        (name == "out-stall" ? faults.writes.stall : faults.writes.timeout) = static_cast<std::uint32_t>(*n);
        return std::nullopt;
    }
    if (name == "out-slow") {
        const std::size_t eq = arg ? arg->find('=') : std::string_view::npos;
        auto n = eq != std::string_view::npos ? parseCount(arg->substr(0, eq)) : std::nullopt;
        auto ms = n ? parseCount(arg->substr(eq + 1)) : std::nullopt;
        if (!ms) return "fault " + quoted + " needs a write number and a delay in milliseconds, as out-slow@N=MS";
        faults.writes.slow = static_cast<std::uint32_t>(*n);
        faults.writes.slowMs = *ms;
        return std::nullopt;
    }
    if (name == "slow-reenum" || name == "slow-leave") {
        auto ms = arg ? parseCount(*arg) : std::nullopt;
        if (!ms) return "fault " + quoted + " needs a delay in milliseconds, as " + std::string(name) + "=MS";
        (name == "slow-leave" ? faults.slowLeaveMs : faults.slowReenumMs) = *ms;
        return std::nullopt;
    }
    return "unknown fault " + quoted + "; known faults: " + faultNames();
}

}  // namespace convsim
