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

// Seconds since 1970 of a stamp's date and time, read as UTC: differences between stamps are
// what counts, so the zone they were written in drops out.
long long stampSeconds(std::string_view name) {
    const auto number = [&](std::size_t at, std::size_t size) {
        long long value = 0;
        for (const char c : name.substr(at, size)) value = value * 10 + (c - '0');
        return value;
    };
    long long y = number(0, 4);
    const long long m = number(4, 2), d = number(6, 2);
    // Days from the civil date (the proleptic Gregorian calendar).
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400, yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
    return days * 86400 + number(9, 2) * 3600 + number(11, 2) * 60 + number(13, 2);
}

std::uintmax_t folderBytes(const fs::path& folder) {
    std::uintmax_t bytes = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
    return bytes;
}

}  // namespace

std::vector<std::string> recordsToRemove(std::vector<RecordFacts> records, const KeepRule& rule) {
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<bool> kept(records.size());
    std::uintmax_t bytes = 0;
    std::size_t complete = 0;
    for (std::size_t i = records.size(); i-- > 0;) {
        const RecordFacts& record = records[i];
        kept[i] = record.outcome == "Complete" ? ++complete <= rule.complete : record.age <= rule.unfinishedAge;
        if (kept[i]) bytes += record.bytes;
    }
    for (std::size_t i = 0; i < records.size() && bytes > rule.bytes; ++i) {
        if (kept[i]) bytes -= records[i].bytes;
        kept[i] = false;
    }
    std::vector<std::string> removed;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (!kept[i]) removed.push_back(records[i].name);
    return removed;
}

std::optional<std::string> recordOutcome(const fs::path& folder) {
    std::ifstream summary(folder / "summary.txt");
    for (std::string line; std::getline(summary, line);)
        if (line.starts_with("outcome: ")) return line.substr(9);
    return std::nullopt;
}

std::vector<fs::path> updateFolders(const fs::path& root) {
    std::vector<fs::path> folders;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root, ec)) {
        if (entry.is_directory(ec) && !entry.is_symlink(ec) && isUpdateFolderName(entry.path().filename().string()))
            folders.push_back(entry.path());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

fs::path updatesRoot(const char* xdgStateHome, const char* home) {
    if (xdgStateHome != nullptr && xdgStateHome[0] == '/') return fs::path(xdgStateHome) / "quillmere" / "updates";
    if (home != nullptr && home[0] != '\0') return fs::path(home) / ".local" / "state" / "quillmere" / "updates";
    return {};
}

std::variant<fs::path, std::string> makeUpdateFolder(const fs::path& root, std::string_view stamp,
                                                     const KeepRule& rule) {
    if (root.empty()) return std::string("neither XDG_STATE_HOME nor HOME names a folder");
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) return root.string() + ": " + ec.message();
    fs::path folder = root / stamp;
    for (int n = 2; !fs::create_directory(folder, ec); ++n) {
        if (ec) return folder.string() + ": " + ec.message();
        folder = root / (std::string(stamp) + "-" + std::to_string(n));  // two actions in one second
    }
    // The new folder is never removed, even when a clock that went back names it before the others.
    std::vector<RecordFacts> others;
    const long long now = isUpdateFolderName(stamp) ? stampSeconds(stamp) : 0;
    for (const fs::path& other : updateFolders(root)) {
        const std::string name = other.filename().string();
        if (other != folder)
            others.push_back({name, recordOutcome(other).value_or(""), std::chrono::seconds(now - stampSeconds(name)),
                              folderBytes(other)});
    }
    const std::vector<std::string> removed = recordsToRemove(std::move(others), rule);
    for (const std::string& name : removed) fs::remove_all(root / name, ec);
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
