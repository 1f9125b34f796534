#pragma once
// Where each update leaves its record: one folder per START press or menu action under the
// user's state folder, the newest kUpdateFoldersKept kept. The window layer fills the folder.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

namespace quill {

inline constexpr std::size_t kUpdateFoldersKept = 20;

// $XDG_STATE_HOME/quillmere/updates (an absolute XDG_STATE_HOME only, as the XDG rules ask),
// else $HOME/.local/state/quillmere/updates; empty when neither is known.
std::filesystem::path updatesRoot(const char* xdgStateHome, const char* home);

// Creates root/stamp ("YYYYMMDD-HHMMSS"; stamp-2, stamp-3, ... when taken), then removes the
// oldest update folders beyond `keep` by name, the new one counted but never removed (a clock that
// went back may name it before the others). Only a folder whose whole name is such a stamp is an
// update folder; anything else in root is left alone. Returns the new folder, or why it could
// not be made.
std::variant<std::filesystem::path, std::string> makeUpdateFolder(const std::filesystem::path& root,
                                                                  std::string_view stamp, std::size_t keep);

// `text` with the home folder written "~" wherever it begins a path ("/home/ann/x" and
// "/home/ann" but not "/home/anna"), so that no stored text carries the user's name. A home
// of "/" or "" changes nothing.
std::string homeAsTilde(std::string_view text, std::string_view home);

// How tavik reaches the converter, for the record: "emulator (socket PATH)" when `emulatorSocket`
// (TAVIK_EMULATOR) names one; else each USB device under sysfsRoot with a converter identity and a
// hidraw node, with its USB port: "hidraw /dev/hidraw3 on USB port 1-1.4
// (0e7b:0bf2)", several joined by "; ", or "hidraw, no converter present".
std::string describeTransport(const char* emulatorSocket, const std::filesystem::path& sysfsRoot);

}  // namespace quill
