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

}  // namespace

std::string SysfsTree::usbDevice() const { return root_ + "/devices/platform/convsim/usb1/1-1"; }

std::optional<std::string> SysfsTree::prepare() const {
    std::error_code error;
    for (const char* dir : {"/class/hidraw", "/bus/usb/devices", "/bus/hid/devices", "/devices/platform/convsim"}) {
        fs::create_directories(root_ + dir, error);
        if (error) return root_ + dir + ": " + error.message();
    }
    return std::nullopt;
}

std::optional<std::string> SysfsTree::publish(const NodeEntry& node) const {
    const std::uint16_t vid = vendorId(node.identity);
    const std::uint16_t pid = productId(node.identity);
    const std::string serial = usbString(node.identity, UsbString::Serial);
    const std::string product = usbString(node.identity, UsbString::Product);
    const std::string name = "hidraw" + std::to_string(node.number);
    const fs::path usb = usbDevice();
    const fs::path intf = usb / "1-1:1.0";
    const fs::path hid = intf / ("0003:" + upperHex(vid, 4) + ":" + upperHex(pid, 4) + "." + upperHex(node.instance, 4));
    const fs::path raw = hid / "hidraw" / name;
    const std::string devnum = std::to_string(node.instance + 1);
    try {
        fs::create_directories(raw);
        // The USB device: what hidapi reports as its strings, ids and release number.
        writeFile(usb / "uevent", "MAJOR=189\nMINOR=" + devnum + "\nDEVNAME=bus/usb/001/" + devnum +
                                      "\nDEVTYPE=usb_device\nDRIVER=usb\nBUSNUM=001\nDEVNUM=" + devnum + "\n");
        writeFile(usb / "idVendor", hex4(vid) + "\n");
        writeFile(usb / "idProduct", hex4(pid) + "\n");
        writeFile(usb / "bcdDevice", "0100\n");
        writeFile(usb / "manufacturer", usbString(node.identity, UsbString::Manufacturer) + "\n");
        writeFile(usb / "product", product + "\n");
        writeFile(usb / "serial", serial + "\n");
        fs::create_symlink(root_ + "/bus/usb", usb / "subsystem");
        // Its one HID interface.
        writeFile(intf / "uevent", "DEVTYPE=usb_interface\nDRIVER=usbhid\nINTERFACE=3/0/0\n");
        writeFile(intf / "bInterfaceNumber", "00\n");
        fs::create_symlink(root_ + "/bus/usb", intf / "subsystem");
        // The HID device: the ids, name and serial hidapi parses from its uevent.
        writeFile(hid / "uevent", "DRIVER=hid-generic\nHID_ID=0003:0000" + upperHex(vid, 4) + ":0000" + upperHex(pid, 4) +
                                      "\nHID_NAME=" + product + "\nHID_PHYS=usb-convsim-1/input0\nHID_UNIQ=" + serial + "\n");
        const std::vector<std::uint8_t> descriptor = reportDescriptor(node.identity);
        writeFile(hid / "report_descriptor", std::string(descriptor.begin(), descriptor.end()));
        fs::create_symlink(root_ + "/bus/hid", hid / "subsystem");
        // The hidraw class device, whose DEVNAME names the node under /dev.
        writeFile(raw / "uevent", "MAJOR=241\nMINOR=" + std::to_string(node.number) + "\nDEVNAME=" + name + "\n");
        writeFile(raw / "dev", "241:" + std::to_string(node.number) + "\n");
        fs::create_symlink(root_ + "/class/hidraw", raw / "subsystem");
        fs::create_symlink(hid, raw / "device");
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
    fs::remove_all(usbDevice(), ignored);
}

}  // namespace convsim
