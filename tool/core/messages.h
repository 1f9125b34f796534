#pragma once
// The printed words for the ways a device action can fail, kept in one place.
#include <cstdio>
#include <string_view>

#include "core/session.h"

namespace tavik::messages {

// The text printed when a command's device cannot be opened (absent or refused alike).
const char* notFoundText(NotFound which);

// A read failed because the device is gone (unplugged or re-enumerated); `stopped` names what
// ends because of it.
void linkLost(std::FILE* out, std::string_view stopped);

// A write failed; `why` is the back end's reason. One line, before the command's failure marker.
void writeFailed(std::FILE* out, hid::WriteFailure why);

// A firmware file was refused before anything was sent; `why` names the line and the fault,
// `failure` is the transfer's failure word ("uafail" / "ubfail") printed on the line after.
void fileRefused(std::FILE* out, std::string_view file, std::string_view why, std::string_view failure);

}  // namespace tavik::messages
