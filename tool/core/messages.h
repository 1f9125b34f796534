#pragma once
// The printed words for the ways a device action can fail, kept in one place.
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "conv/toolrun.h"
#include "core/session.h"

namespace tavik::messages {

// The text printed when a command's device cannot be opened (absent or refused alike).
std::string notFoundText(NotFound which);

// Prints `text`, then (line) a line end: the words the front end reads go out through here.
void print(std::FILE* out, std::string_view text);
void line(std::FILE* out, std::string_view text);

// Prints the first `count` bytes of a report as the front end reads them (conv::kReportByteFormat).
void bytes(std::FILE* out, const ReportBuffer& report, std::size_t count);

// A read failed because the device is gone (unplugged or re-enumerated); `stopped` names what
// ends because of it.
void linkLost(std::FILE* out, std::string_view stopped);

// A write failed; `why` is the back end's reason. One line, before the command's failure marker.
void writeFailed(std::FILE* out, hid::WriteFailure why);

// A firmware file was refused before anything was sent; `why` names the line and the fault,
// `failure` is the transfer's failure word (conv::kALineFailed / conv::kBLineFailed) printed on the line after.
void fileRefused(std::FILE* out, std::string_view file, std::string_view why, std::string_view failure);

}  // namespace tavik::messages
