#pragma once
// The holder's two ways to a converter, chosen like tavik's back ends: the emulated converter's
// socket when TAVIK_EMULATOR names one, else the hidraw nodes of the real device.
#include <memory>
#include <string>

#include "hold/hold_loop.h"

namespace tavik::hold {

// stopFd: a descriptor whose end (or readable data) asks the holder to stop, e.g. standard
// input connected to the front end's pipe.
// A non-empty usbPort ("1-1.4") limits the holder to the converter on that USB port.
std::unique_ptr<Port> makeEmulatedPort(std::string socketPath, int stopFd, std::string usbPort = {});
// Every hidraw node whose HID device names a converter identity (with usbPort: the node of the
// converter on that port only): sysfsRoot "/sys", devDir "/dev" (tests point both at a copy).
std::unique_ptr<Port> makeHidrawPort(std::string sysfsRoot, std::string devDir, int stopFd, std::string usbPort = {});

}  // namespace tavik::hold
