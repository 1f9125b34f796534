#pragma once
// The emulated transport between tavik and an emulated converter: AF_UNIX SOCK_SEQPACKET,
// one message per datagram, byte 0 of every message an ASCII opcode.
//
//   L                      -> "L" + lines "vvvv pppp PATH SERIAL port=PORT\n"; the server then
//                          closes. A line without "port=" is the converter on port 1-1.
//   O"vvvv pppp"           -> "O1" (opened; input reports follow as "I"+bytes) or "O0"; the
//                          converter on port 1-1
//   O"vvvv pppp PORT"      the same, of the converter on PORT ("1-2", "1-1.4")
//   O"vvvv pppp hold"      the same, from tavik-hold: it opens whatever is present and is no
//   O"vvvv pppp PORT hold" tool run (a replayed recording does not count it)
//   W + report             (no reply; byte 0 is the report number, 0 = unnumbered)
//   S + m|p|s|i            -> "S" + UTF-8 text (empty: the query failed)
//   I + report             input report from the device, in order
// When the device leaves (re-enumeration, unplug) the server closes its connections.
#include <cstddef>
#include <string_view>

namespace conv::emu {

inline constexpr char kEnumerate = 'L';
inline constexpr char kOpen = 'O';
inline constexpr char kWrite = 'W';
inline constexpr char kString = 'S';
inline constexpr char kInput = 'I';
// Ends the open request of tavik-hold.
inline constexpr std::string_view kHolderMark = " hold";
// Starts the port field of a listing line.
inline constexpr std::string_view kPortField = "port=";

inline constexpr char kStringManufacturer = 'm';
inline constexpr char kStringProduct = 'p';
inline constexpr char kStringSerial = 's';
inline constexpr char kStringIndexed1 = 'i';

// Environment variable holding the socket path; when set, tavik uses the emulated transport.
inline constexpr const char* kSocketEnv = "TAVIK_EMULATOR";

// Largest message either side sends (opcode + a 65-byte report, or an enumeration list).
inline constexpr std::size_t kMaxMessage = 65536;

}  // namespace conv::emu
