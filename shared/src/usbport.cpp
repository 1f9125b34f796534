#include "conv/usbport.h"

#include <dirent.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

#include "conv/hexfield.h"
#include "conv/packets.h"

namespace conv::usbport {

namespace {

bool allDigits(std::string_view text) {
    return !text.empty() && text.size() <= 3 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint16_t> readId(const std::string& path) {
    std::ifstream in(path);
    std::string text;
    if (!(in >> text)) return std::nullopt;
    return parseHexWord(text);
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Whether the HID device at hidDir (BBBB:VVVV:PPPP.NNNN) declares the identity's reports.
bool carriesReports(const std::string& hidDir, std::uint16_t vid, std::uint16_t pid) {
    return carriesConverterReports(readBytes(hidDir + "/report_descriptor"), vid, pid);
}

// The hidraw node of the first interface that carries the identity's reports:
// PORT:C.I/BBBB:VVVV:PPPP.NNNN/hidraw/hidrawN.
std::string frameNode(const std::string& device, std::string_view port, std::uint16_t vid, std::uint16_t pid) {
    for (const std::string& intf : entries(device)) {
        if (intf.size() <= port.size() || intf.compare(0, port.size(), port) != 0 || intf[port.size()] != ':') continue;
        for (const std::string& hid : entries(device + "/" + intf)) {
            const std::string hidDir = device + "/" + intf + "/" + hid;
            for (const std::string& node : entries(hidDir + "/hidraw"))
                if (node.starts_with("hidraw") && carriesReports(hidDir, vid, pid)) return node;
        }
    }
    return {};
}

}  // namespace

bool isPortPath(std::string_view port) {
    const std::size_t dash = port.find('-');
    if (dash == std::string_view::npos || !allDigits(port.substr(0, dash))) return false;
    std::string_view rest = port.substr(dash + 1);
    for (;;) {
        const std::size_t dot = rest.find('.');
        if (!allDigits(rest.substr(0, dot))) return false;
        if (dot == std::string_view::npos) return true;
        rest = rest.substr(dot + 1);
    }
}

std::optional<std::string> portFromEnvironment(std::string_view program, std::string_view outcome) {
    const char* pinned = std::getenv(kPortEnv);
    if (pinned == nullptr || *pinned == '\0') return std::string();
    if (isPortPath(pinned)) return std::string(pinned);
    std::fprintf(stderr, "%.*s: %s='%s' is not a USB port path such as 1-1.4; %.*s\n", static_cast<int>(program.size()),
                 program.data(), kPortEnv, pinned, static_cast<int>(outcome.size()), outcome.data());
    return std::nullopt;
}

std::optional<PortNode> deviceOnPort(const std::string& sysfsRoot, std::string_view port) {
    if (!isPortPath(port)) return std::nullopt;
    const std::string device = sysfsRoot + "/bus/usb/devices/" + std::string(port);
    const auto vid = readId(device + "/idVendor");
    const auto pid = readId(device + "/idProduct");
    if (!vid || !pid) return std::nullopt;
    std::string serial;
    std::getline(std::ifstream(device + "/serial"), serial);
    return PortNode{std::string(port), *vid, *pid, frameNode(device, port, *vid, *pid), serial};
}

std::vector<PortNode> devicesWithIds(const std::string& sysfsRoot,
                                     const std::vector<std::pair<std::uint16_t, std::uint16_t>>& ids) {
    std::vector<PortNode> found;
    for (const std::string& name : entries(sysfsRoot + "/bus/usb/devices")) {
        if (!isPortPath(name)) continue;  // root hubs ("usb1") and interfaces ("1-1:1.0")
        auto device = deviceOnPort(sysfsRoot, name);
        if (device && std::find(ids.begin(), ids.end(), std::pair(device->vendorId, device->productId)) != ids.end())
            found.push_back(std::move(*device));
    }
    return found;
}

bool nodeCarriesReports(const std::string& sysfsRoot, std::string_view node, std::uint16_t vendorId,
                        std::uint16_t productId) {
    return carriesReports(sysfsRoot + "/class/hidraw/" + std::string(node) + "/device", vendorId, productId);
}

std::string portOfNode(const std::string& sysfsRoot, std::string_view node) {
    // .../usb1/1-1/1-1:1.0/0003:0416:A316.0001: the HID device's parent is the USB interface.
    char resolved[PATH_MAX];
    const std::string link = sysfsRoot + "/class/hidraw/" + std::string(node) + "/device";
    if (::realpath(link.c_str(), resolved) == nullptr) return {};
    std::string_view path(resolved);
    path = path.substr(0, path.rfind('/'));
    const std::string_view intf = path.substr(path.rfind('/') + 1);
    const std::string_view port = intf.substr(0, intf.find(':'));
    return intf.find(':') != std::string_view::npos && isPortPath(port) ? std::string(port) : std::string();
}

std::string listingLine(const PortNode& device) {
    std::string serial = device.serial;
    for (char& c : serial)
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') c = '_';
    return std::string(kListingStart) + device.port + " " + identityText(device.vendorId, device.productId) + " " +
           (device.node.empty() ? "-" : device.node) + (serial.empty() ? "" : " " + serial);
}

std::optional<PortNode> parseListingLine(std::string_view line) {
    if (!line.starts_with(kListingStart)) return std::nullopt;
    line.remove_prefix(kListingStart.size());
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    PortNode device;
    device.port = line.substr(0, space);
    const auto ids = parseIdentityText(line.substr(space + 1, 9));
    if (!isPortPath(device.port) || !ids) return std::nullopt;
    std::tie(device.vendorId, device.productId) = *ids;
    const std::string_view rest = line.substr(std::min(line.size(), space + 11));
    const std::string_view node = rest.substr(0, rest.find(' '));
    if (node != "-") device.node = node;
    if (node.size() < rest.size()) device.serial = rest.substr(node.size() + 1);
    return device;
}

std::string listingEndLine(std::size_t count) {
    return std::string(kListingEnd) + std::to_string(count) + " converters";
}

std::optional<std::vector<PortNode>> parseListing(std::string_view output) {
    std::vector<PortNode> devices;
    while (!output.empty()) {
        const std::size_t end = std::min(output.find('\n'), output.size());
        const std::string_view line = output.substr(0, end);
        output.remove_prefix(std::min(end + 1, output.size()));
        if (line.starts_with(kListingEnd))
            return line == listingEndLine(devices.size()) ? std::optional(std::move(devices)) : std::nullopt;
        if (auto device = parseListingLine(line)) devices.push_back(std::move(*device));
    }
    return std::nullopt;
}

}  // namespace conv::usbport
