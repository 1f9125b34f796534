#pragma once
// The wire recording: with TAVIK_RECORD=FILE every tavik run appends what crossed the wire to
// FILE, one JSON object per line. tavik writes it, convsim --replay plays it back;
// docs/update-record.md ("Wire recording") documents it as an interface.
//
//   {"ev":"run","v":1,"pid":4711,"argc":1,"arg":"sta","t":0}
//   {"ev":"open","id":"0416:a316","result":"opened","port":"1-1","node":"/dev/hidraw0","t":210}
//                                          (or "absent", "refused"; port and node when known)
//   {"ev":"out","id":"0416:a316","n":65,"hex":"00a6...","t":260}     report written, n = result
//   {"ev":"in","id":"0416:a316","n":64,"wait":-1,"hex":"...","t":900} report read, n = result
//   {"ev":"drop","id":"0e7b:0bf2","n":32,"hex":"...","t":950}    report queued before a write,
//                                                                 taken unread and dropped
//   {"ev":"end","t":1020}
//
// t: microseconds since the run started. n: bytes moved; -1 when the device refused or was
// gone; for "in" 0 when the wait (ms, -1 = blocking) passed without a report. A run killed from
// outside has no "end".
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace conv::wire {

inline constexpr const char* kRecordEnv = "TAVIK_RECORD";
// The line tavik prints on standard error when it could not append to the recording (a full disk):
// this start, then why and the file. The run goes on unrecorded from there.
inline constexpr std::string_view kRecordingCut = "tavik: the wire recording could not be written whole: ";
inline constexpr int kVersion = 1;
// The largest numbers a recording may hold; parseLine() refuses larger ones (replay adds times,
// and keeps the others in int): no run lasts 11 days, waits a day or has more arguments or a
// larger process id than Linux allows.
inline constexpr std::int64_t kMaxTime = 1'000'000'000'000;  // microseconds
inline constexpr std::int64_t kMaxWaitMs = 86'400'000;
inline constexpr std::int64_t kMaxArgc = 1 << 20;
inline constexpr std::int64_t kMaxPid = 1 << 22;

enum class Kind { Run, Open, Out, In, Drop, End };
enum class OpenResult { Opened, Absent, Refused };

struct Event {
    Kind kind = Kind::End;
    std::int64_t t = 0;  // microseconds since the run started
    // Run
    std::string arg;  // the single argument (empty when argc is not 1)
    int argc = 1;
    long pid = 0;
    // Open, Out, In, Drop
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    // Open
    OpenResult open = OpenResult::Absent;
    std::string port;  // the USB port looked at; empty when not known
    std::string node;  // the node opened or refused; empty when none
    // Out, In, Drop
    int n = 0;
    int waitMs = -1;                  // In only
    std::vector<std::uint8_t> bytes;  // Out: the report handed over; In, Drop: the bytes read
};

// One event as a line of JSON, line feed included.
std::string formatLine(const Event& event);
// One line (without its line feed) back into an event; the error names what is wrong, quoting at
// most 40 characters of what it read.
std::variant<Event, std::string> parseLine(std::string_view line);

// Lower-case hex digits, two per byte, no separators.
std::string hexText(std::span<const std::uint8_t> bytes);

}  // namespace conv::wire
