#include "serving.h"

#include <algorithm>
#include <cstdio>

#include "conv/hexfield.h"
#include "conv/usbport.h"

namespace convsim {

namespace {
volatile std::sig_atomic_t gStopSignal = 0;
extern "C" void onStopSignal(int sig) { gStopSignal = sig; }

std::int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
}  // namespace

std::string hex4(std::uint16_t value) {
    return conv::hexByte(static_cast<std::uint8_t>(value >> 8)) + conv::hexByte(static_cast<std::uint8_t>(value));
}

std::string hexDump(const std::uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) text += (i ? " " : "") + conv::hexByte(data[i]);
    return text;
}

std::string usbString(Identity identity, UsbString which, std::string_view port) {
    const bool loader = identity == Identity::Loader;
    switch (which) {
        case UsbString::Manufacturer:
            return "convsim";
        case UsbString::Product:
            return loader ? "Converter boot loader (emulated)" : "Converter (emulated)";
        case UsbString::Serial:
            return (loader ? "EMU-LDR-" : "EMU-CNV-") +
                   (port == conv::usbport::kDefaultPort ? std::string("0001") : std::string(port));
    }
    return "";
}

std::vector<std::uint8_t> reportDescriptor(Identity identity) {
    // Vendor page 0xFF00, usage 1, one application collection of byte-wide fields.
    std::vector<std::uint8_t> d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08};
    if (identity == Identity::Loader) {
        d.insert(d.end(), {0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x01, 0x91, 0x02});
    } else {
        d.insert(d.end(),
                 {0x85, 0x01, 0x95, 0x1F, 0x09, 0x01, 0x81, 0x02, 0x85, 0x05, 0x95, 0x1F, 0x09, 0x01, 0x91, 0x02});
    }
    d.push_back(0xC0);
    return d;
}

ModelHost::ModelHost(ServedDevice& device, std::optional<std::string> statePath, bool verbose)
    : device_(device), statePath_(std::move(statePath)), verbose_(verbose), savedRevision_(device.flashRevision()),
      startNs_(monotonicNs()) {}

Micros ModelHost::now() const { return (monotonicNs() - startNs_) / 1000; }

void ModelHost::log(const std::string& line) const {
    std::fprintf(stderr, "convsim [%8.3f] %s\n", static_cast<double>(now()) / 1e6, line.c_str());
}

void ModelHost::saveIfChanged() {
    if (device_.flashRevision() == savedRevision_) return;
    savedRevision_ = device_.flashRevision();
    // A recording played back has no flash of its own to keep.
    const FlashState* flash = device_.flash();
    if (!statePath_ || flash == nullptr) return;
    if (auto error = saveFlashFile(*statePath_, *flash)) log("cannot save the flash: " + *error);
}

sigset_t ModelHost::catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigset_t waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return waitMask;
}

int ModelHost::stopSignal() { return gStopSignal; }

std::string ModelHost::stopSignalName() { return gStopSignal == SIGINT ? "SIGINT" : "SIGTERM"; }

timespec* ModelHost::timeoutUntil(std::optional<Micros> deadline, timespec& storage) const {
    if (!deadline) return nullptr;
    const Micros wait = std::max<Micros>(0, *deadline - now());
    storage.tv_sec = wait / 1'000'000;
    storage.tv_nsec = (wait % 1'000'000) * 1000;
    return &storage;
}

}  // namespace convsim
