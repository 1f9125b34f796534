#pragma once
// Where each update leaves its record: one folder per START press or menu action under the
// user's state folder, kept by the rule below. The window layer fills the folder.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quill {

// Which records stay when a new one is made: the newest `complete` records whose outcome is
// Complete; every other record (Failed, interrupted, or with no outcome to read) that is at most
// `unfinishedAge` old; and of all those, the newest up to `bytes` in all, the oldest going first.
struct KeepRule {
    std::size_t complete = 20;
    std::chrono::seconds unfinishedAge = std::chrono::hours(24 * 90);
    std::uintmax_t bytes = 200ull * 1000 * 1000;
};

// What the keep rule reads of one record folder.
struct RecordFacts {
    std::string name;            // its stamp, "YYYYMMDD-HHMMSS[-N]": names sort by time
    std::string outcome;         // its summary's "outcome:", empty when there is none to read
    std::chrono::seconds age{};  // how long before the new record's stamp it was made (< 0: after)
    std::uintmax_t bytes = 0;    // its files' sizes together
};

// The names of the records `rule` removes, oldest first.
std::vector<std::string> recordsToRemove(std::vector<RecordFacts> records, const KeepRule& rule);

// The "outcome:" of the summary.txt in `folder`; nullopt when it has none.
std::optional<std::string> recordOutcome(const std::filesystem::path& folder);
// The update folders in `root` (only a folder whose whole name is an update stamp), oldest first.
std::vector<std::filesystem::path> updateFolders(const std::filesystem::path& root);

// $XDG_STATE_HOME/quillmere/updates (an absolute XDG_STATE_HOME only, as the XDG rules ask),
// else $HOME/.local/state/quillmere/updates; empty when neither is known.
std::filesystem::path updatesRoot(const char* xdgStateHome, const char* home);

// Creates root/stamp ("YYYYMMDD-HHMMSS", the local time; stamp-2, stamp-3, ... when taken), then
// removes the update folders that `rule` does not keep among the others; the new one is never
// removed (a clock that went back may name it before the others). Only a folder whose whole name
// is such a stamp is an update folder; anything else in root is left alone. Returns the new
// folder, or why it could not be made.
std::variant<std::filesystem::path, std::string> makeUpdateFolder(const std::filesystem::path& root,
                                                                  std::string_view stamp, const KeepRule& rule = {});

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
