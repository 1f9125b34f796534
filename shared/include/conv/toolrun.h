#pragma once
// How the front end starts tavik runs and reads what they print beyond its marker words.
#include <string_view>

namespace conv {

// With this environment setting at "1", tavik does nothing (the device least of all) until one
// byte arrives on its standard input, and ends silently when the input ends first. The front end
// starts the next run this way while the current one works, and lets it go only once it has
// judged the current run's output.
inline constexpr const char* kWaitForGoEnv = "TAVIK_WAIT_FOR_GO";

// The line tavik prints on standard error when a converter is plugged in but may not be opened
// (its standard output says only "not found", as for an absent one):
//   tavik: converter vvvv:pppp is present at PATH but cannot be opened (REASON); <the fix>
inline constexpr std::string_view kCannotOpenStart = "tavik: converter ";
inline constexpr std::string_view kCannotOpenPresent = " is present at ";
inline constexpr std::string_view kCannotOpenEnd = " but cannot be opened (";

// Part of the line tavik prints when a read or a write finds the converter gone (unplugged or
// re-enumerated); a run that prints it failed because the device left, whatever marker follows.
inline constexpr std::string_view kDeviceGone = "the device is gone (unplugged or re-enumerated)";
// The line tavik prints when a write fails: kWriteFailedStart, then why (the device gone, the
// write timed out, the device stalled it). The run's failure marker follows on the next line.
inline constexpr std::string_view kWriteFailedStart = "!! hid_write() failed: ";
inline constexpr std::string_view kWriteTimedOut = "the write timed out (ETIMEDOUT)";
inline constexpr std::string_view kWriteStalled = "the device stalled the write (EPIPE)";

}  // namespace conv
