#pragma once
// tavik-hold keeps the converter's current USB identity open for the length of an update, so
// that the host's first-open delay (about 50 ms per open of an interface nobody holds) is paid
// once per identity instead of once per tool run. It never reads or writes the device.
#include <memory>

namespace tavik::hold {

// An open converter identity; destroying it closes the device.
class Held {
public:
    virtual ~Held() = default;
};

enum class Wake { DeviceGone, Stop, TimedOut };

// What the loop needs from the system.
class Port {
public:
    virtual ~Port() = default;
    // Opens the converter identity present now (loader or normal mode); nullptr when none is.
    virtual std::unique_ptr<Held> openPresent() = 0;
    // Waits until `held` (null: nothing held) is gone, a stop is asked for, or timeoutMs passed
    // (-1: no limit).
    virtual Wake wait(const Held* held, int timeoutMs) = 0;
};

// Holds whatever identity is present until a stop: re-opens at once after each loss (a
// re-enumeration) and looks again every pollMs while none is present.
void holdUntilStopped(Port& port, int pollMs);

}  // namespace tavik::hold
