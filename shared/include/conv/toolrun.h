#pragma once
// How the front end starts tavik runs and the words, lines and byte formats it reads in what they
// print. tavik prints with these declarations and the front end reads with them, so the two cannot
// drift apart.
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

// The standard output lines of a run that found no converter in the mode it needed: the loader
// (ISP mode), or the converter in normal mode (the monitor and B-code commands spell it with a small
// f). Every one of them ends in kNotFoundEnd.
inline constexpr std::string_view kLoaderNotFound = "LDROM NOT FOUND";
inline constexpr std::string_view kNormalNotFound = "0E7B/1CF? NOT FOUND";
inline constexpr std::string_view kNormalNotFoundLowerF = "0E7B/1Cf? NOT FOUND";
inline constexpr std::string_view kNotFoundEnd = " NOT FOUND";

// What a loader command ("sta", "sync", "runaprom") prints once the loader's reply has been read,
// followed by the byte count: the proof that the loader is there and answered.
inline constexpr std::string_view kLoaderReplied = "in CmdWriteAndReadOne(), readN  = ";

// The words a run of an A line prints: the loader took the packet (its reply carries the packet's
// checksum), or it did not.
inline constexpr std::string_view kALineSent = "uaok";
inline constexpr std::string_view kALineFailed = "uafail";

// What "bb" prints once its burn frame has been written to the normal-mode device.
inline constexpr std::string_view kBurnSent = "bbok";
// The words a run of a B line ends with: the echo matched, the echo did not match or never came, or
// the line was not sent because the device could not take its frame (send it again).
inline constexpr std::string_view kBLineSent = "ubok";
inline constexpr std::string_view kBLineFailed = "ubfail";
inline constexpr std::string_view kBLineRetry = "retry";

// How tavik prints each byte of a report it read: two small hex digits and a space. The status
// command ("stb") prints the first ten bytes of the normal-mode status report this way; an A run
// prints the loader's reply after kChecksumDump, with the packet number byte marked by a '*'.
inline constexpr const char* kReportByteFormat = "%02x ";
inline constexpr const char* kMarkedReportByteFormat = "*%02x ";
inline constexpr std::string_view kChecksumDump = "ckSum_r=";
// What the status command prints once the converter has burned the B lines (report 1, kind 1,
// 02 42, code d0), and the code it reports while it holds B lines not yet burned.
inline constexpr std::string_view kStatusBurned = "01 01 02 42 d0";
inline constexpr std::string_view kStatusLinesHeld = "c4";

}  // namespace conv
