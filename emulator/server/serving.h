#pragma once
// What every front end of the device model shares, whichever way it serves the converter (the
// emulated socket or hidraw nodes): the real clock, the log, saving the flash after a change,
// the stop signals and the strings and descriptors of each identity.
#include <csignal>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device_model.h"
#include "served_device.h"

namespace convsim {

// USB descriptor strings of an identity on a USB port. The serial number names the port, so that
// converters side by side differ: "EMU-CNV-0001" on port 1-1, "EMU-CNV-1-2" on 1-2.
enum class UsbString { Manufacturer, Product, Serial };
std::string usbString(Identity identity, UsbString which, std::string_view port);
// The HID report descriptor of an identity: the loader's 64-byte unnumbered reports, normal
// mode's 32-byte reports with numbers 1 (in) and 5 (out).
std::vector<std::uint8_t> reportDescriptor(Identity identity);
// "01 a6 00" style: each byte as two hex digits, separated by spaces.
std::string hexDump(const std::uint8_t* data, std::size_t size);
// "0e7b" style: four lower-case hex digits.
std::string hex4(std::uint16_t value);

// One converter on its own USB port, with its own flash file.
struct PluggedDevice {
    std::string port;
    ServedDevice* device = nullptr;
    std::optional<std::string> statePath;
};

class ModelHost {
public:
    ModelHost(ServedDevice& device, std::optional<std::string> statePath, bool verbose);

    bool verbose() const { return verbose_; }
    Micros now() const;
    void log(const std::string& line) const;
    void saveIfChanged();

    // Installs the SIGINT/SIGTERM handlers and blocks both outside the wait: returns the mask
    // to hand to ppoll, so no stop is lost between the check and the wait.
    static sigset_t catchStopSignals();
    // The stop signal received (0: none yet).
    static int stopSignal();
    static std::string stopSignalName();
    // The ppoll time-out that ends at `deadline` (nullptr: wait without a limit).
    timespec* timeoutUntil(std::optional<Micros> deadline, timespec& storage) const;

private:
    ServedDevice& device_;
    std::optional<std::string> statePath_;
    bool verbose_;
    std::uint64_t savedRevision_;
    std::int64_t startNs_;
};

// Opening an identity that nobody holds open completes this late under full-speed timing, as
// the host kernel's first open of a HID interface does.
inline constexpr Micros kFirstOpenDelay = 50'000;

}  // namespace convsim
