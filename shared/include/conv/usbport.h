#pragma once
// Which converter an update talks to: the USB port it is plugged into (such as "1-1.4"), which
// stays the same when the converter re-enumerates between normal mode and its loader. The
// hidraw nodes of a port are found through sysfs directly, without listing every HID device.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace conv::usbport {

// Environment setting naming the port; unset, tavik and tavik-hold open whatever converter
// they find first.
inline constexpr const char* kPortEnv = "TAVIK_PORT";
// The port an emulated converter is on when a listing line or an open request names none.
inline constexpr std::string_view kDefaultPort = "1-1";

// "B-P" or "B-P.P...": bus and port numbers, nothing else (the text becomes part of a path).
bool isPortPath(std::string_view port);
// The port TAVIK_PORT names: empty when it is unset or empty; nullopt when it is no port path
// (then nothing may be opened: any converter found could be another), after one line on standard
// error: "PROGRAM: TAVIK_PORT='...' is not a USB port path such as 1-1.4; OUTCOME".
std::optional<std::string> portFromEnvironment(std::string_view program, std::string_view outcome);

struct PortNode {
    std::string port;  // "1-1.4"
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string node;         // "hidraw3"; empty while the device has no hidraw node that carries its reports
    std::string serial = {};  // the USB serial number; empty when the device has none or it is not known
};

// The USB device on `port`, with the hidraw node of its interface that carries the converter's
// reports (conv::carriesConverterReports); sysfsRoot is "/sys" outside tests.
std::optional<PortNode> deviceOnPort(const std::string& sysfsRoot, std::string_view port);
// Every USB device with one of the identities, one entry per port, in port order.
std::vector<PortNode> devicesWithIds(const std::string& sysfsRoot,
                                     const std::vector<std::pair<std::uint16_t, std::uint16_t>>& ids);
// Whether the interface of hidraw node `node` carries the identity's reports, read from its
// report descriptor in sysfs (conv::carriesConverterReports).
bool nodeCarriesReports(const std::string& sysfsRoot, std::string_view node, std::uint16_t vendorId,
                        std::uint16_t productId);
// The port of the USB device a hidraw node ("hidraw3") belongs to; empty when not a USB device.
std::string portOfNode(const std::string& sysfsRoot, std::string_view node);

// The lines tavik's "ports" word prints, one per converter present:
//   CONVERTER PORT vvvv:pppp NODE [SERIAL]
// NODE is the device path, "-" when none is known; SERIAL, when the device has one, is its serial
// number with every blank or control character written "_", so that it stays one field.
inline constexpr std::string_view kListingStart = "CONVERTER ";
std::string listingLine(const PortNode& device);
std::optional<PortNode> parseListingLine(std::string_view line);
// The line that closes the listing, with the number of converter lines before it:
//   END OF LIST: N converters
// A listing without it was cut short (the run crashed or was killed) and proves nothing.
inline constexpr std::string_view kListingEnd = "END OF LIST: ";
std::string listingEndLine(std::size_t count);
// The converter lines of a whole listing, in the order listed; nullopt when `output` is no whole
// listing (no closing line, or a count that differs from the lines before it).
std::optional<std::vector<PortNode>> parseListing(std::string_view output);

}  // namespace conv::usbport
