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

}  // namespace quill
