#include "sysfs_tree.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "serving.h"

namespace convsim {

namespace fs = std::filesystem;

namespace {

std::string upperHex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw fs::filesystem_error("cannot write", path, std::make_error_code(std::errc::io_error));
}

// Odd ones are keyboards, even ones mice: 8-byte input reports they never send.
bool isKeyboard(const NodeEntry& node) { return node.other % 2 == 1; }

}  // namespace

std::uint16_t entryVendorId(const NodeEntry& node) { return node.other ? 0x046d : vendorId(node.identity); }

std::uint16_t entryProductId(const NodeEntry& node) {
    if (node.other) return isKeyboard(node) ? 0xc31c : 0xc077;
    return productId(node.identity);
}

std::string entryString(const NodeEntry& node, UsbString which) {
    if (!node.other) return usbString(node.identity, which, node.port);
    switch (which) {
        case UsbString::Manufacturer:
            return "Logitech";
        case UsbString::Product:
            return isKeyboard(node) ? "USB Keyboard" : "USB Optical Mouse";
        case UsbString::Serial:
            return "";
    }
    return "";
}

std::vector<std::uint8_t> entryDescriptor(const NodeEntry& node) {
    // Generic Desktop, Gamepad (5): report 1 in only, two axes, eight buttons and 29 padding bytes.
    if (node.gamepad)
        return {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x09, 0x30,
                0x09, 0x31, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02, 0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x25,
                0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x75, 0x08, 0x95, 0x1D, 0x81, 0x03, 0xC0};
    if (!node.other) return reportDescriptor(node.identity);
    // Generic Desktop, Keyboard (6) or Mouse (2), one 8-byte input report.
    return {0x05, 0x01, 0x09, static_cast<std::uint8_t>(isKeyboard(node) ? 0x06 : 0x02),
            0xA1, 0x01, 0x15, 0x00,
            0x26, 0xFF, 0x00, 0x75,
            0x08, 0x95, 0x08, 0x81,
            0x02, 0xC0};
}

// Every port of bus B hangs off that bus's root hub, usbB, as a flat list (hubs are not modelled).
std::string SysfsTree::usbDevice(const std::string& port) const {
    return root_ + "/devices/platform/convsim/usb" + port.substr(0, port.find('-')) + "/" + port;
}

std::optional<std::string> SysfsTree::prepare() const {
    std::error_code error;
    for (const char* dir : {"/class/hidraw", "/bus/usb/devices", "/bus/hid/devices", "/devices/platform/convsim"}) {
        fs::create_directories(root_ + dir, error);
        if (error) return root_ + dir + ": " + error.message();
    }
    return std::nullopt;
}

std::optional<std::string> SysfsTree::publish(const NodeEntry& node) const {
    const std::uint16_t vid = entryVendorId(node);
    const std::uint16_t pid = entryProductId(node);
    const std::string serial = entryString(node, UsbString::Serial);
    const std::string product = entryString(node, UsbString::Product);
    const std::string name = "hidraw" + std::to_string(node.number);
    const fs::path usb = usbDevice(node.port);
    const std::string number = std::to_string(node.interface);
    const fs::path intf = usb / (node.port + ":1." + number);
    const fs::path hid =
        intf / ("0003:" + upperHex(vid, 4) + ":" + upperHex(pid, 4) + "." + upperHex(node.instance, 4));
    const fs::path raw = hid / "hidraw" / name;
    const std::string devnum = std::to_string(node.instance + 1);
    try {
        const bool deviceMade = fs::exists(usb / "subsystem");
        fs::create_directories(raw);
        if (!deviceMade) {
            // The USB device: what hidapi reports as its strings, ids and release number.
            writeFile(usb / "uevent", "MAJOR=189\nMINOR=" + devnum + "\nDEVNAME=bus/usb/001/" + devnum +
                                          "\nDEVTYPE=usb_device\nDRIVER=usb\nBUSNUM=001\nDEVNUM=" + devnum + "\n");
            writeFile(usb / "idVendor", hex4(vid) + "\n");
            writeFile(usb / "idProduct", hex4(pid) + "\n");
            writeFile(usb / "bcdDevice", "0100\n");
            writeFile(usb / "manufacturer", entryString(node, UsbString::Manufacturer) + "\n");
            writeFile(usb / "product", product + "\n");
            writeFile(usb / "serial", serial + "\n");
            fs::create_symlink(root_ + "/bus/usb", usb / "subsystem");
        }
        // The HID interface.
        writeFile(intf / "uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\nINTERFACE=3/0/0\n");
        writeFile(intf / "bInterfaceNumber", (node.interface < 10 ? "0" : "") + number + "\n");
        fs::create_symlink(root_ + "/bus/usb", intf / "subsystem");
        // The HID device: the ids, name and serial hidapi parses from its uevent.
        writeFile(hid / "uevent", "DRIVER=hid-generic\nHID_ID=0003:0000" + upperHex(vid, 4) + ":0000" +
                                      upperHex(pid, 4) + "\nHID_NAME=" + product + "\nHID_PHYS=usb-convsim-" +
                                      node.port + "/input" + number + "\nHID_UNIQ=" + serial + "\n");
        const std::vector<std::uint8_t> descriptor = entryDescriptor(node);
        writeFile(hid / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
        fs::create_symlink(root_ + "/bus/hid", hid / "subsystem");
        // The hidraw class device, whose DEVNAME names the node under /dev.
        writeFile(raw / "uevent", "MAJOR=241\nMINOR=" + std::to_string(node.number) + "\nDEVNAME=" + name + "\n");
        writeFile(raw / "dev", "241:" + std::to_string(node.number) + "\n");
        fs::create_symlink(root_ + "/class/hidraw", raw / "subsystem");
        fs::create_symlink(hid, raw / "device");
        // The bus's view of the device by its port, which a pinned look-up reads directly.
        if (!deviceMade) fs::create_symlink(usb, root_ + "/bus/usb/devices/" + node.port);
        fs::create_symlink(raw, root_ + "/class/hidraw/" + name);
    } catch (const fs::filesystem_error& e) {
        withdraw(node);
        return e.what();
    }
    return std::nullopt;
}

void SysfsTree::withdraw(const NodeEntry& node) const {
    std::error_code ignored;
    fs::remove(root_ + "/class/hidraw/hidraw" + std::to_string(node.number), ignored);
    const fs::path usb = usbDevice(node.port);
    fs::remove_all(usb / (node.port + ":1." + std::to_string(node.interface)), ignored);
    for (const auto& entry : fs::directory_iterator(usb, ignored))
        if (entry.path().filename().string().starts_with(node.port + ":")) return;  // another interface stays
    fs::remove(root_ + "/bus/usb/devices/" + node.port, ignored);
    fs::remove_all(usb, ignored);
}

}  // namespace convsim
