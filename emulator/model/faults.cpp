#include "faults.h"

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

std::string_view faultNames() {
    return "silent-loader, no-loader, bad-ack@N, unplug@N, unplug-before@N, unplug-b@N, unplug-burn, bad-echo@N, "
           "no-c4, no-d0, no-return, slow-reenum=MS, slow-leave=MS, garbage-replies, short-replies, long-replies, "
           "flood, flood=N, absent, out-slow@N=MS, out-timeout@N, out-stall@N";
}

std::optional<std::string> addFault(Faults& faults, std::string_view faultText) {
    const std::size_t sep = faultText.find_first_of("@=");
    const std::string_view name = faultText.substr(0, sep);
    const std::optional<std::string_view> arg =
        sep == std::string_view::npos ? std::nullopt : std::optional(faultText.substr(sep + 1));
    const std::string quoted = "'" + std::string(faultText) + "'";

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
    return "unknown fault " + quoted + "; known faults: " + std::string(faultNames());
}

}  // namespace convsim
