#pragma once
// What a server serves to the host: the emulated converter (DeviceModel) or a recorded converter
// played back (ReplayDevice). The socket server drives this interface alone, so any server that
// speaks another transport (a hidraw node, for instance) can serve either device the same way.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "device_model.h"

namespace convsim {

// The host process behind an open or a write (its process id where the transport tells it,
// else 0): the reports of one tool run come from one process.
using HostRun = std::uint64_t;

class ServedDevice {
public:
    virtual ~ServedDevice() = default;
    // The identity present now: what an enumeration lists and what a holder may open.
    virtual Identity identity() const = 0;
    // A tool run opens `wanted`; true when the device answers as that identity.
    virtual bool open(Identity wanted, HostRun run, Micros now) = 0;
    // The host wrote `report` (byte 0 the report number) to the open identity `to`.
    virtual void write(Identity to, std::span<const std::uint8_t> report, HostRun run, Micros now) = 0;
    // Lets time pass; nextDeadline() says when advance() has something to do next.
    virtual void advance(Micros now) = 0;
    virtual std::optional<Micros> nextDeadline() const = 0;
    // Input reports, identities leaving and arriving, log notes, in order.
    virtual std::vector<Event> takeEvents() = 0;
    // The flash to keep in the state file; nullptr when the device has none of its own.
    virtual const FlashState* flash() const = 0;
    virtual std::uint64_t flashRevision() const = 0;
    // Serving stops: the last notes go to takeEvents(); returns the exit status.
    virtual int finish(Micros now) = 0;
};

// The emulated converter.
class ModelDevice final : public ServedDevice {
public:
    explicit ModelDevice(DeviceModel& model) : model_(model) {}
    Identity identity() const override { return model_.identity(); }
    bool open(Identity wanted, HostRun /*run*/, Micros /*now*/) override { return wanted == model_.identity(); }
    void write(Identity /*to*/, std::span<const std::uint8_t> report, HostRun /*run*/, Micros now) override {
        model_.write(report, now);
    }
    void advance(Micros now) override { model_.advance(now); }
    std::optional<Micros> nextDeadline() const override { return model_.nextDeadline(); }
    std::vector<Event> takeEvents() override { return model_.takeEvents(); }
    const FlashState* flash() const override { return &model_.flash(); }
    std::uint64_t flashRevision() const override { return model_.flashRevision(); }
    int finish(Micros /*now*/) override { return 0; }

private:
    DeviceModel& model_;
};

}  // namespace convsim
