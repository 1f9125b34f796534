#include "quill/update_record.h"

#include <algorithm>
#include <cctype>
#include <fstream>
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

std::string homeAsTilde(std::string_view text, std::string_view home) {
    while (home.size() > 1 && home.back() == '/') home.remove_suffix(1);
    if (home.size() <= 1) return std::string(text);
    std::string out;
    std::size_t from = 0;
    for (std::size_t at = text.find(home); at != std::string_view::npos; at = text.find(home, at + 1)) {
        const std::size_t end = at + home.size();
        // Only a whole folder name: "/home/ann" in "/home/anna" is someone else's.
        const bool whole = end == text.size() || !(std::isalnum(static_cast<unsigned char>(text[end])) ||
                                                   text[end] == '_' || text[end] == '-' || text[end] == '.');
        if (!whole || at < from) continue;
        out.append(text.substr(from, at - from)).append("~");
        from = end;
    }
    return out.append(text.substr(from));
}

std::string describeTransport(const char* emulatorSocket, const fs::path& sysfsRoot) {
    if (emulatorSocket != nullptr && *emulatorSocket != '\0') return std::string("emulator (socket ") + emulatorSocket + ")";
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& node : fs::directory_iterator(sysfsRoot / "class" / "hidraw", ec)) {
        // HID_ID=0003:00000E7B:00000BF2 (bus, vendor, product) in the node's HID device.
        std::ifstream uevent(node.path() / "device" / "uevent");
        std::string line, ids;
        while (std::getline(uevent, line))
            if (line.starts_with("HID_ID=") && line.size() == 7 + 22) ids = line.substr(16, 4) + ":" + line.substr(25, 4);
        for (char& c : ids) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ids != "0416:a316" && ids != "0e7b:0bf2") continue;
        // The USB port is the device folder above the interface: .../usb1/1-1/1-1.4/1-1.4:1.0/...
        std::string port = "unknown";
        for (const auto& part : fs::canonical(node.path() / "device", ec)) {
            const std::string name = part.string();
            if (!name.empty() && std::isdigit(static_cast<unsigned char>(name[0])) && name.find('-') != std::string::npos &&
                name.find(':') == std::string::npos)
                port = name;
        }
        found.push_back("hidraw /dev/" + node.path().filename().string() + " on USB port " + port + " (" + ids + ")");
    }
    if (found.empty()) return "hidraw, no converter present";
    std::sort(found.begin(), found.end());
    std::string joined;
    for (const auto& one : found) joined += (joined.empty() ? "" : "; ") + one;
    return joined;
}

}  // namespace quill
