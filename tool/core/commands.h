#pragma once
// Device commands and firmware transfers. Each builds its report in the session's `buf`, writes
// it to the session's `handle` and prints what it did; the caller has opened the right device.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/session.h"

namespace tavik {

// ---- loader device --------------------------------------------------------------------------
// Sends a bare loader command (0xA4 synchronise or 0xA6 status) and reads one reply into bufR.
bool CmdWriteAndReadOne(Session& s, std::uint32_t cmd);
bool statusA(Session& s);
// Asks the status, then tells the loader to start the application; returns the last write.
int RunApRom(Session& s);
// Reads replies until one carries `expected` in bytes 4..5; false when the device is gone.
bool READ_PKNO_FROM_FW(Session& s, std::uint32_t expected);

// ---- normal-mode device ---------------------------------------------------------------------
int SEND_QRX004Q(Session& s);
int startA(Session& s);
int burnB(Session& s);
// First quit frame, re-open of the normal-mode device, second quit frame through it.
int quit41_20(Session& s);
int quit42_20(Session& s);

// ---- transfers ------------------------------------------------------------------------------
bool updateAcode(Session& s);
bool updateAcode_1line(Session& s, std::string_view text);
bool updateBcode(Session& s);
bool updateBcode_1line(Session& s, std::string_view text);

}  // namespace tavik

namespace tavik {

// Checks a firmware-text argument before any device is touched. nullopt when it can be sent;
// otherwise the refusal line to print (it carries "uafail" or "ubfail").
std::optional<std::string> checkALineArgument(std::string_view text);
std::optional<std::string> checkBLineArgument(std::string_view text);

}  // namespace tavik
