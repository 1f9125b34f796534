#include "quill/update_record.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <vector>

#include "conv/hexfield.h"
#include "conv/packets.h"
#include "conv/usbport.h"

namespace quill {
namespace {

namespace fs = std::filesystem;

// The whole name is an update stamp: "YYYYMMDD-HHMMSS", optionally followed by "-N" (N from 2).
bool isUpdateFolderName(std::string_view name) {
    const auto digits = [](std::string_view text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (name.size() < 15 || !digits(name.substr(0, 8)) || name[8] != '-' || !digits(name.substr(9, 6))) return false;
    if (name.size() == 15) return true;
    return name[15] == '-' && digits(name.substr(16)) && name[16] != '0';
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
    // Names sort by time: the oldest come first. The new folder is never removed, even when a
    // clock that went back names it before the others.
    std::vector<fs::path> folders;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        if (entry.is_directory(ec) && !entry.is_symlink(ec) && entry.path() != folder &&
            isUpdateFolderName(entry.path().filename().string()))
            folders.push_back(entry.path());
    }
    std::sort(folders.begin(), folders.end());
    for (std::size_t i = 0; i + std::max<std::size_t>(keep, 1) - 1 < folders.size(); ++i)
        fs::remove_all(folders[i], ec);
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
    if (emulatorSocket != nullptr && *emulatorSocket != '\0')
        return std::string("emulator (socket ") + emulatorSocket + ")";
    std::string joined;
    for (const conv::usbport::PortNode& device : conv::usbport::devicesWithIds(
             sysfsRoot.string(), {{conv::kLoaderVid, conv::kLoaderPid}, {conv::kNormalVid, conv::kNormalPid}})) {
        if (device.node.empty()) continue;
        joined += (joined.empty() ? "" : "; ") + ("hidraw /dev/" + device.node + " on USB port " + device.port + " (" +
                                                  conv::identityText(device.vendorId, device.productId) + ")");
    }
    return joined.empty() ? "hidraw, no converter present" : joined;
}

}  // namespace quill
