// The hidapi back end: the only file of tavik that sees hidapi.
#include <hidapi.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cwchar>

#include "conv/toolrun.h"
#include "hid/transport.h"

namespace tavik::hid {

namespace {

constexpr std::size_t kStringChars = 255;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x110000) {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string toUtf8(const wchar_t* text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text != L'\0'; ++text) appendUtf8(out, static_cast<char32_t>(*text));
    return out;
}

class HidapiDevice final : public Device {
public:
    explicit HidapiDevice(hid_device* device) : device_(device) {}
    ~HidapiDevice() override { hid_close(device_); }
    HidapiDevice(const HidapiDevice&) = delete;
    HidapiDevice& operator=(const HidapiDevice&) = delete;

    int write(std::span<const std::uint8_t> data) override {
        const int n = hid_write(device_, data.data(), data.size());
        if (n < 0) writeFailure_ = failureOf(errno);  // hidraw's write() leaves its errno
        return n;
    }
    WriteFailure lastWriteFailure() const override { return writeFailure_; }

    int read(std::span<std::uint8_t> data, int timeoutMs) override {
        if (timeoutMs < 0) return hid_read(device_, data.data(), data.size());
        return hid_read_timeout(device_, data.data(), data.size(), timeoutMs);
    }

    std::optional<std::string> getString(StringKind kind) override {
        wchar_t text[kStringChars + 1] = {};
        int result = -1;
        switch (kind) {
            case StringKind::Manufacturer: result = hid_get_manufacturer_string(device_, text, kStringChars); break;
            case StringKind::Product: result = hid_get_product_string(device_, text, kStringChars); break;
            case StringKind::SerialNumber: result = hid_get_serial_number_string(device_, text, kStringChars); break;
            case StringKind::Indexed1: result = hid_get_indexed_string(device_, 1, text, kStringChars); break;
        }
        if (result < 0) return std::nullopt;
        return toUtf8(text);
    }

private:
    static WriteFailure failureOf(int error) {
        switch (error) {
            case ETIMEDOUT: return WriteFailure::TimedOut;
            case EPIPE: return WriteFailure::Stalled;
            case ENODEV: case EIO: case ESHUTDOWN: return WriteFailure::Gone;
            default: return WriteFailure::Refused;
        }
    }

    hid_device* device_;
    WriteFailure writeFailure_ = WriteFailure::Refused;
};

class HidapiTransport final : public Transport {
public:
    HidapiTransport() = default;
    // Devices must be gone before this; the session that owns them is destroyed first.
    ~HidapiTransport() override { hid_exit(); }
    HidapiTransport(const HidapiTransport&) = delete;
    HidapiTransport& operator=(const HidapiTransport&) = delete;

    std::vector<DeviceInfo> enumerate() override {
        std::vector<DeviceInfo> devices;
        hid_device_info* list = hid_enumerate(0, 0);
        for (const hid_device_info* d = list; d != nullptr; d = d->next) {
            devices.push_back({d->vendor_id, d->product_id, d->path ? d->path : "", toUtf8(d->serial_number)});
        }
        hid_free_enumeration(list);
        return devices;
    }

    // Enumerates and opens the first match by path, as hid_open() does, so that a device that is
    // present but cannot be opened is told apart from one that is absent.
    OpenResult open(std::uint16_t vendorId, std::uint16_t productId) override {
        OpenResult result;
        hid_device_info* list = hid_enumerate(vendorId, productId);
        if (list == nullptr) return result;
        const std::string path = list->path ? list->path : "";
        hid_free_enumeration(list);

        if (hid_device* device = hid_open_path(path.c_str())) {
            result.status = OpenStatus::Opened;
            result.device = std::make_unique<HidapiDevice>(device);
            return result;
        }
        // Only a node this user may not open is a refusal. One that went between the enumeration
        // and the open (the converter re-enumerating, as it does during an update) is absent: the
        // front end stops an update at once on a refusal, and must not for that.
        if (::access(path.c_str(), R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM)) return result;
        result.status = OpenStatus::Refused;
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", vendorId, productId);
        char vid[8];
        char pid[8];
        std::snprintf(vid, sizeof vid, "%04x", vendorId);
        std::snprintf(pid, sizeof pid, "%04x", productId);
        const std::string reason = toUtf8(hid_error(nullptr));
        result.detail = std::string(conv::kCannotOpenStart) + ids + std::string(conv::kCannotOpenPresent) + path +
                        std::string(conv::kCannotOpenEnd) +
                        (reason.empty() ? "no reason given" : reason) +
                        "); most likely this user may not access that hidraw node: add a udev rule such as "
                        "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" + vid + "\", ATTRS{idProduct}==\"" + pid +
                        "\", MODE=\"0660\", TAG+=\"uaccess\" and plug the converter in again";
        return result;
    }
};

}  // namespace

std::unique_ptr<Transport> makeHidapiTransport() { return std::make_unique<HidapiTransport>(); }

}  // namespace tavik::hid
