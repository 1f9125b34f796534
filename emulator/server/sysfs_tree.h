#pragma once
// The stand-in sysfs entries of one hidraw node, as libudev and hidapi read them: the USB device,
// its interface, the HID device and the hidraw class device, each with its uevent, attributes
// and subsystem link. Written into a tmpfs at /sys inside a private mount namespace, never into
// the system's sysfs.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "conv/usbport.h"
#include "device_model.h"
#include "serving.h"

namespace convsim {

struct NodeEntry {
    Identity identity = Identity::None;
    unsigned number = 0;                            // hidrawN
    unsigned instance = 0;                          // the HID device's running number (0003:VVVV:PPPP.IIII)
    std::string port{conv::usbport::kDefaultPort};  // the USB port path the device is plugged into
    unsigned other = 0;                             // 0: a converter; N: the Nth unrelated HID device (keyboards, mice)
    bool gamepad = false;    // normal mode's input-only gamepad interface, beside the one that carries the frames
    unsigned interface = 0;  // the USB interface number (PORT:1.I)
};

// What a node's HID device is: the converter identity's, or an unrelated keyboard or mouse's.
std::uint16_t entryVendorId(const NodeEntry& node);
std::uint16_t entryProductId(const NodeEntry& node);
std::string entryString(const NodeEntry& node, UsbString which);
std::vector<std::uint8_t> entryDescriptor(const NodeEntry& node);

class SysfsTree {
public:
    explicit SysfsTree(std::string root) : root_(std::move(root)) {}
    // The fixed directories the enumeration walks; an error text when they cannot be made.
    std::optional<std::string> prepare() const;
    // The node's tree, its USB device's too unless another interface made it; the class link
    // that makes it enumerable comes last.
    std::optional<std::string> publish(const NodeEntry& node) const;
    // The class link first, then the node's interface, then the USB device once no interface is left.
    void withdraw(const NodeEntry& node) const;

private:
    std::string usbDevice(const std::string& port) const;
    std::string root_;
};

}  // namespace convsim
