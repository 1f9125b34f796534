#include "quill/update_record.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace quill {
namespace {

namespace fs = std::filesystem;

// "YYYYMMDD-HHMMSS", optionally followed by "-N".
bool isUpdateFolderName(std::string_view name) {
    if (name.size() < 15 || name[8] != '-') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i == 8 || (i == 15 && name[i] == '-' && name.size() > 16)) continue;
        if (name[i] < '0' || name[i] > '9') return false;
    }
    return true;
}

}  // namespace

fs::path updatesRoot(const char* xdgStateHome, const char* home) {
    if (xdgStateHome != nullptr && xdgStateHome[0] == '/') return fs::path(xdgStateHome) / "quillmere" / "updates";
    if (home != nullptr && home[0] != '\0') return fs::path(home) / ".local" / "state" / "quillmere" / "updates";
    return {};
}

std::variant<fs::path, std::string> makeUpdateFolder(const fs::path& root, std::string_view stamp, std::size_t keep) {
    if (root.empty()) return std::string("neither XDG_STATE_HOME nor HOME names a folder");
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) return root.string() + ": " + ec.message();
    fs::path folder = root / stamp;
    for (int n = 2; !fs::create_directory(folder, ec); ++n) {
        if (ec) return folder.string() + ": " + ec.message();
        folder = root / (std::string(stamp) + "-" + std::to_string(n));  // two actions in one second
    }
    // Names sort by time: the oldest come first.
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(root, ec))
        if (entry.is_directory() && isUpdateFolderName(entry.path().filename().string())) folders.push_back(entry.path());
    std::sort(folders.begin(), folders.end());
    for (std::size_t i = 0; i + keep < folders.size(); ++i) fs::remove_all(folders[i], ec);
    return folder;
}

}  // namespace quill
