// The hidapi back end: the only file of tavik that sees hidapi (and libudev, for udev's state).
#include <hidapi.h>
#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>

#if defined(__linux__)
#include <dlfcn.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstdarg>
#endif

#include "conv/hexfield.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "hid/transport.h"

#if defined(__linux__)
namespace {
// Set on this thread while hid_open_path runs: marked when the descriptor-size query fails.
thread_local bool* descriptorQueryFailed = nullptr;
}  // namespace

// hidapi 0.13 (Debian 12's) frees its device when the descriptor-size query fails after a good
// open and then writes the error into it: a converter leaving during the open crashed tavik.
// Defined in the executable, this is the ioctl hidapi calls, linked statically or not. While
// openPath() runs on this thread a failed query is marked and answered as size 0, so hidapi never
// takes that path; every other call goes through unchanged.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    const int result =
        next != nullptr ? next(fd, request, arg) : static_cast<int>(::syscall(SYS_ioctl, fd, request, arg));
    if (result >= 0 || request != HIDIOCGRDESCSIZE || descriptorQueryFailed == nullptr) return result;
    *descriptorQueryFailed = true;
    *static_cast<int*>(arg) = 0;
    return 0;
}
#endif

namespace tavik::hid {

namespace {

// What a half-gone USB device answers: the node or its host controller reports the device gone.
bool goneError(int error) {
    switch (error) {
        case ENODEV:
        case EIO:
        case ESHUTDOWN:
        case EPROTO:
        case EILSEQ:
        case ETIME:
            return true;
        default:
            return false;
    }
}

// hid_open_path, with a descriptor-size query that failed after the open told apart: the device
// went during the open, so the handle is closed again and none is returned.
hid_device* openPath(const std::string& path, bool& queryFailed) {
    queryFailed = false;
#if defined(__linux__)
    descriptorQueryFailed = &queryFailed;
#endif
    hid_device* device = hid_open_path(path.c_str());
#if defined(__linux__)
    descriptorQueryFailed = nullptr;
#endif
    if (!queryFailed) return device;
    hid_close(device);
    return nullptr;
}

constexpr std::size_t kStringChars = 255;
constexpr const char* kSysfs = "/sys";

// "/dev/hidraw3" -> "hidraw3"
std::string nodeName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Whether this user may not read and write the node.
bool closedToUs(const std::string& path) {
    return ::access(path.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM);
}

// How long ago udev finished with the hidraw node "hidrawN", in microseconds (0 when its entry
// gives no time); nullopt while it has not, or when the node is gone. libudev answers from udev's
// database entry for the node (/run/udev/data/cMAJOR:MINOR), which udev writes once it has applied
// the node's rules; udev 256 and later mark it ID_PROCESSING=1 until its RUN step is done too.
std::optional<unsigned long long> udevFinishedAgo(const std::string& name) {
    udev* context = udev_new();
    if (context == nullptr) return std::nullopt;
    std::optional<unsigned long long> ago;
    if (udev_device* device = udev_device_new_from_subsystem_sysname(context, "hidraw", name.c_str())) {
        const char* processing = udev_device_get_property_value(device, "ID_PROCESSING");
        if (udev_device_get_is_initialized(device) > 0 && (processing == nullptr || *processing != '1'))
            ago = udev_device_get_usec_since_initialized(device);
        udev_device_unref(device);
    }
    udev_unref(context);
    return ago;
}

// udev 252 writes the database entry before its RUN step, where the uaccess builtin grants the
// user at the seat access: a refusal met sooner than this after the entry is looked at again then.
constexpr unsigned long long kUdevRunUs = 200'000;

// Whether a node this user may not open stays closed: only once udev has finished with it. Until
// then udev may still grant access, and the node counts as not there yet; a node udev never
// finishes with stays absent, so every wait for it ends by its own count. Where udev keeps no
// database at all, nothing will grant access later.
bool refusalFinal(const std::string& path) {
    // Without udev's database on this system no grant will ever come: the refusal is final now.
    struct stat database {};
    if (::stat("/run/udev/data", &database) != 0 || !S_ISDIR(database.st_mode)) return true;
    const auto ago = udevFinishedAgo(nodeName(path));
    if (!ago) return false;
    if (*ago >= kUdevRunUs) return true;
    const unsigned long long wait = kUdevRunUs - *ago;
    timespec rest{static_cast<time_t>(wait / 1'000'000), static_cast<long>(wait % 1'000'000) * 1000};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return closedToUs(path);
}

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
            case StringKind::Manufacturer:
                result = hid_get_manufacturer_string(device_, text, kStringChars);
                break;
            case StringKind::Product:
                result = hid_get_product_string(device_, text, kStringChars);
                break;
            case StringKind::SerialNumber:
                result = hid_get_serial_number_string(device_, text, kStringChars);
                break;
            case StringKind::Indexed1:
                result = hid_get_indexed_string(device_, 1, text, kStringChars);
                break;
        }
        if (result < 0) return std::nullopt;
        return toUtf8(text);
    }

private:
    static WriteFailure failureOf(int error) {
        if (error == ETIMEDOUT) return WriteFailure::TimedOut;
        if (error == EPIPE) return WriteFailure::Stalled;
        return goneError(error) ? WriteFailure::Gone : WriteFailure::Refused;
    }

    hid_device* device_;
    WriteFailure writeFailure_ = WriteFailure::Refused;
};

class HidapiTransport final : public Transport {
public:
    explicit HidapiTransport(std::string port) : port_(std::move(port)) {}
    // Devices must be gone before this; the session that owns them is destroyed first.
    ~HidapiTransport() override { hid_exit(); }
    HidapiTransport(const HidapiTransport&) = delete;
    HidapiTransport& operator=(const HidapiTransport&) = delete;

    std::vector<DeviceInfo> enumerate() override {
        std::vector<DeviceInfo> devices;
        hid_device_info* list = hid_enumerate(0, 0);
        for (const hid_device_info* d = list; d != nullptr; d = d->next) {
            devices.push_back({d->vendor_id, d->product_id, d->path ? d->path : "", toUtf8(d->serial_number), ""});
        }
        hid_free_enumeration(list);
        return devices;
    }

    // Pinned to a port: the node of the device on that port, found through sysfs, and only when
    // the device there has this identity. Otherwise the first match of an enumeration, as
    // hid_open() does. Either way only the interface that carries the identity's reports is
    // opened (a converter may show a gamepad interface beside it), and a device that is present
    // but cannot be opened is told apart from one that is absent.
    OpenResult open(std::uint16_t vendorId, std::uint16_t productId) override {
        OpenResult result;
        std::string path;
        if (!port_.empty()) {
            result.port = port_;
            const auto device = conv::usbport::deviceOnPort(kSysfs, port_);
            if (!device || device->node.empty()) return result;
            path = "/dev/" + device->node;
            if (device->vendorId != vendorId || device->productId != productId) {
                // The converter is there in its other identity. When this user may not open even
                // that node, and udev has finished with it, no run can move it to the identity
                // asked for: that is said now rather than after the whole wait for it.
                if (!closedToUs(path) || !refusalFinal(path)) return result;
                result.node = path;
                return refused(std::move(result), device->vendorId, device->productId, std::strerror(EACCES));
            }
        } else {
            hid_device_info* list = hid_enumerate(vendorId, productId);
            for (const hid_device_info* d = list; d != nullptr && path.empty(); d = d->next)
                if (d->path != nullptr &&
                    conv::usbport::nodeCarriesReports(kSysfs, nodeName(d->path), vendorId, productId))
                    path = d->path;
            hid_free_enumeration(list);
            if (path.empty()) return result;
            result.port = conv::usbport::portOfNode(kSysfs, nodeName(path));
        }
        result.node = path;

        bool queryFailed = false;
        if (hid_device* device = openPath(path, queryFailed)) {
            result.status = OpenStatus::Opened;
            result.device = std::make_unique<HidapiDevice>(device);
            return result;
        }
        // Only a node this user may not open, and udev has finished with, is a refusal. One that
        // went between the look-up and the open (the converter re-enumerating, as it does during
        // an update), or during it, is absent, and so is one udev has yet to grant us: the front
        // end stops an update at once on a refusal, and must not for either.
        if (queryFailed || goneError(errno)) return result;
        if (!closedToUs(path) || !refusalFinal(path)) return result;
        return refused(std::move(result), vendorId, productId, toUtf8(hid_error(nullptr)));
    }

    // Read from sysfs: the USB devices with a converter identity and their serial numbers, without
    // opening any node.
    std::vector<DeviceInfo> converters() override {
        std::vector<DeviceInfo> found;
        for (const auto& d : conv::usbport::devicesWithIds(
                 kSysfs, {{conv::kLoaderVid, conv::kLoaderPid}, {conv::kNormalVid, conv::kNormalPid}})) {
            if (!port_.empty() && d.port != port_) continue;
            const std::string path = d.node.empty() ? "" : "/dev/" + d.node;
            // Not there yet while udev has still to grant this user its node.
            if (!path.empty() && closedToUs(path) && !refusalFinal(path)) continue;
            found.push_back({d.vendorId, d.productId, path, d.serial, d.port});
        }
        return found;
    }

private:
    // The converter vendorId:productId at result.node is present but not ours to open: one line
    // naming it, the reason and the fix.
    static OpenResult refused(OpenResult result, std::uint16_t vendorId, std::uint16_t productId,
                              const std::string& reason) {
        result.status = OpenStatus::Refused;
        const std::string ids = conv::identityText(vendorId, productId);
        char vid[8];
        char pid[8];
        std::snprintf(vid, sizeof vid, "%04x", vendorId);
        std::snprintf(pid, sizeof pid, "%04x", productId);
        result.detail = std::string(conv::kCannotOpenStart) + ids + std::string(conv::kCannotOpenPresent) +
                        result.node + std::string(conv::kCannotOpenEnd) +
                        (reason.empty() ? "no reason given" : reason) +
                        "); most likely this user may not access that hidraw node: add a udev rule such as "
                        "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"" +
                        vid + "\", ATTRS{idProduct}==\"" + pid + "\", TAG+=\"uaccess\" and plug the converter in again";
        return result;
    }

    std::string port_;
};

}  // namespace

std::unique_ptr<Transport> makeHidapiTransport(std::string port) {
    return std::make_unique<HidapiTransport>(std::move(port));
}

}  // namespace tavik::hid
