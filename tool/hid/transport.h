#pragma once
// The HID layer tavik talks through. Device commands see only this interface; one back end
// sits on hidapi, the other on the emulated converter's socket.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "conv/packets.h"

namespace tavik::hid {

// Read time-out meaning "wait until a report arrives or the device is gone".
inline constexpr int kBlocking = -1;

struct DeviceInfo {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string path;
    std::string serial;  // UTF-8
    std::string port;    // the USB port path ("1-1.4"); empty when not known
};

enum class StringKind { Manufacturer, Product, SerialNumber, Indexed1 };

// Why a write failed: the device refused the report, is gone, did not take it in time, or
// stalled the endpoint.
enum class WriteFailure { Refused, Gone, TimedOut, Stalled };

// One open device. Reports queue from the moment of the open until they are read.
class Device {
public:
    virtual ~Device() = default;
    // Byte 0 is the report number (0: unnumbered). Returns data.size() on success, -1 when the
    // device refused the report or is gone.
    virtual int write(std::span<const std::uint8_t> data) = 0;
    // Why the last write() that returned -1 failed, where the back end can tell.
    virtual WriteFailure lastWriteFailure() const { return WriteFailure::Refused; }
    // Copies at most data.size() bytes of the next input report (a numbered report keeps its
    // number as byte 0). Returns the count, 0 when timeoutMs (>= 0) passed without a report,
    // -1 when the device is gone. With timeoutMs 0 it takes only a report queued already.
    virtual int read(std::span<std::uint8_t> data, int timeoutMs = kBlocking) = 0;
    // As read() with timeoutMs 0, for a report the caller drops unread.
    virtual int discard(std::span<std::uint8_t> data) { return read(data, 0); }
    // UTF-8 text of a descriptor string; nullopt when the query failed.
    virtual std::optional<std::string> getString(StringKind kind) = 0;
};

// Why an open failed: nothing with that identity, or present but not openable by us.
enum class OpenStatus { Opened, Absent, Refused };

struct OpenResult {
    OpenStatus status = OpenStatus::Absent;
    std::unique_ptr<Device> device;  // set when Opened
    std::string detail;              // Refused: one line naming the device, the cause and the fix
    std::string port;                // the USB port looked at or opened on, when known
    std::string node;                // the node opened or refused, when known
};

class Transport {
public:
    virtual ~Transport() = default;
    virtual std::vector<DeviceInfo> enumerate() = 0;
    // Opens the first device enumerated with this vendor/product pair (pinned to a port: the
    // device on that port only).
    virtual OpenResult open(std::uint16_t vendorId, std::uint16_t productId) = 0;
    // The converters present in either identity, one per port, with the port filled in.
    virtual std::vector<DeviceInfo> converters() {
        std::vector<DeviceInfo> found;
        for (DeviceInfo& d : enumerate())
            if ((d.vendorId == conv::kLoaderVid && d.productId == conv::kLoaderPid) ||
                (d.vendorId == conv::kNormalVid && d.productId == conv::kNormalPid))
                found.push_back(std::move(d));
        return found;
    }
};

// hidapi (hidraw). Initialises the library on first use and releases it on destruction. With a
// port ("1-1.4"), only the node of the device on that port is ever opened, found through sysfs.
std::unique_ptr<Transport> makeHidapiTransport(std::string port = {});
// The emulated converter reached over the AF_UNIX SOCK_SEQPACKET socket at socketPath; with a
// port, the open requests name it.
std::unique_ptr<Transport> makeEmulatedTransport(std::string socketPath, std::string port = {});
// Wraps `inner` and appends the run to the wire recording at recordPath (conv/wirerecord.h):
// the run's argument now, each open and each report written or read as it happens, the run's end
// when the returned transport is destroyed. A recording that cannot be written is skipped
// silently: the run does and prints exactly what it would without it.
std::unique_ptr<Transport> makeRecordingTransport(std::unique_ptr<Transport> inner, const std::string& recordPath,
                                                  std::span<const std::string_view> args);

}  // namespace tavik::hid
