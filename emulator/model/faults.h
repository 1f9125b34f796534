#pragma once
// Faults a real converter shows, switched on from the command line (`--fault NAME[@N]`).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace convsim {

// Faults of the host's interrupt-OUT writes, acted on by the hidraw nodes (a socket message cannot
// fail). N counts every report written to the device from 1, over convsim's whole run.
struct WriteFaults {
    std::optional<std::uint32_t> slow;  // write N is NAKed for slowMs before the device takes it
    std::int64_t slowMs = 0;
    std::optional<std::uint32_t> timeout;  // write N is NAKed until it fails with ETIMEDOUT
    std::optional<std::uint32_t> stall;    // write N fails at once with EPIPE
    bool any() const { return slow || timeout || stall; }
};

struct Faults {
    bool silentLoader = false;  // the loader enumerates but never answers or acts
    bool noLoader = false;      // start A re-enumerates, but the converter comes back in normal mode
    bool noC4 = false;          // B lines never raise the C4 status
    bool noD0 = false;          // the burn fails: no D0 status, flash unchanged
    bool noReturn = false;      // run application: the loader leaves and the converter never comes back
    // Ordinals counted from 1 over the emulator's life; each fires once.
    std::optional<std::uint32_t> badAck;        // A packet N stored with a flipped bit, so its ack checksum is wrong
    std::optional<std::uint32_t> unplug;        // the device vanishes on A packet N
    std::optional<std::uint32_t> unplugB;       // the device vanishes on B line N
    std::optional<std::uint32_t> unplugBefore;  // the device vanishes as the host opens it for A packet N
    bool unplugBurn = false;                    // the device vanishes on the burn frame, before it burns
    std::optional<std::uint32_t> badEcho;       // B line N echoed (and kept) with one byte changed
    std::optional<std::int64_t> slowReenumMs;   // re-enumeration takes this long instead
    std::optional<std::int64_t> slowLeaveMs;    // an identity told to leave drops off the bus this much later
    bool garbageReplies = false;                // every input report is replaced by random bytes
    bool shortReplies = false;                  // every input report is cut to 4 bytes
    bool longReplies = false;                   // every input report is followed by as many filler bytes
    bool flood = false;                         // the normal-mode identity sends status reports at a flood rate
    std::optional<std::uint32_t> floodEcho;     // `flood=N`: each B-line echo comes after exactly N status reports
    bool absent = false;                        // no converter is plugged in: neither identity ever appears
    WriteFaults writes;
};

// The most status reports `flood=N` may queue before an echo: with the echo they fit the 63 reports
// a hidraw file holds, so none is dropped.
inline constexpr std::uint32_t kMaxFloodEcho = 62;

// Adds one `--fault` argument ("NAME", "NAME@N", "flood=N", "slow-reenum=MS", "slow-leave=MS" or
// "out-slow@N=MS") to `faults`.
// Returns an error text naming the problem when the argument is not a known fault.
std::optional<std::string> addFault(Faults& faults, std::string_view faultText);

// One fault as the user writes it ("bad-ack@N") and what it does.
struct FaultHelp {
    std::string_view syntax;
    std::string_view help;
};
// Every fault addFault() takes, in the order they are listed.
std::span<const FaultHelp> faultTable();
// Their syntaxes, comma-separated, for an error text.
std::string faultNames();

}  // namespace convsim
