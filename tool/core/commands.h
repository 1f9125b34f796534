#pragma once
// Device commands and firmware transfers. Each builds the session's outgoing report, writes it to
// the device the session opened and prints what it did; the caller has opened the right device.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conv/hexfile.h"

#include "core/session.h"

namespace tavik {

// ---- loader device --------------------------------------------------------------------------
// Sends a bare loader command (0xA4 synchronise or 0xA6 status) and reads one reply.
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
// The whole-file forms read and check their file before any device is opened. A refused file
// prints why, with "uafail" / "ubfail", and no device is opened for it; a missing one is
// reported by the transfer once its device is open.
enum class FileState { Missing, Refused, Ready };
struct AcodeFile {
    FileState state = FileState::Missing;
    conv::AImage image;
    long size = 0;  // bytes in the file
};
struct BcodeFile {
    FileState state = FileState::Missing;
    std::vector<std::string> lines;
};
AcodeFile readAcodeFile(Session& s);
bool updateAcode(Session& s, const AcodeFile& file);
bool updateAcode_1line(Session& s, std::string_view text);
BcodeFile readBcodeFile(Session& s);
bool updateBcode(Session& s, const BcodeFile& file);
bool updateBcode_1line(Session& s, std::string_view text);

// Checks a firmware-text argument before any device is touched. nullopt when it can be sent;
// otherwise the refusal line to print (it carries "uafail" or "ubfail").
std::optional<std::string> checkALineArgument(std::string_view text);
std::optional<std::string> checkBLineArgument(std::string_view text);

}  // namespace tavik
