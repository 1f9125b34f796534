#include "hold/hold_loop.h"

namespace tavik::hold {

void holdUntilStopped(Port& port, int pollMs) {
    for (;;) {
        std::unique_ptr<Held> held = port.openPresent();
        // Held: wait for its loss without a limit. Nothing present: look again after pollMs.
        if (port.wait(held.get(), held ? -1 : pollMs) == Wake::Stop) return;
    }
}

}  // namespace tavik::hold
