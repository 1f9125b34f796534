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
    // When the identity present, told to leave, drops off the bus; nullopt while it is not leaving.
    virtual std::optional<Micros> leavesAt() const { return std::nullopt; }
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
    bool open(Identity wanted, HostRun /*run*/, Micros /*now*/) override { return model_.open(wanted); }
    void write(Identity /*to*/, std::span<const std::uint8_t> report, HostRun /*run*/, Micros now) override {
        model_.write(report, now);
    }
    void advance(Micros now) override { model_.advance(now); }
    std::optional<Micros> nextDeadline() const override { return model_.nextDeadline(); }
    std::optional<Micros> leavesAt() const override { return model_.leavesAt(); }
    std::vector<Event> takeEvents() override { return model_.takeEvents(); }
    const FlashState* flash() const override { return &model_.flash(); }
    std::uint64_t flashRevision() const override { return model_.flashRevision(); }
    int finish(Micros /*now*/) override { return 0; }

private:
    DeviceModel& model_;
};

// A device plugged in `at` after serving starts: absent until then, the inner device from then
// on (its own time starts when it is plugged in).
class PluggedLater final : public ServedDevice {
public:
    PluggedLater(ServedDevice& inner, Micros at) : inner_(inner), at_(at) {}
    Identity identity() const override { return plugged() ? inner_.identity() : Identity::None; }
    bool open(Identity wanted, HostRun run, Micros now) override { return plugged() && inner_.open(wanted, run, now); }
    void write(Identity to, std::span<const std::uint8_t> report, HostRun run, Micros now) override {
        if (plugged()) inner_.write(to, report, run, now);
    }
    void advance(Micros now) override {
        if (!plugged_ && now >= at_) {
            plugged_ = true;
            events_.push_back({Event::Kind::Arrived, inner_.identity(), {}, {}});
        }
        if (plugged_) inner_.advance(now);
    }
    std::optional<Micros> nextDeadline() const override { return plugged_ ? inner_.nextDeadline() : at_; }
    std::optional<Micros> leavesAt() const override { return plugged_ ? inner_.leavesAt() : std::nullopt; }
    std::vector<Event> takeEvents() override {
        std::vector<Event> events = std::move(events_);
        events_.clear();
        if (plugged_)
            for (Event& e : inner_.takeEvents()) events.push_back(std::move(e));
        return events;
    }
    const FlashState* flash() const override { return inner_.flash(); }
    std::uint64_t flashRevision() const override { return inner_.flashRevision(); }
    int finish(Micros now) override { return inner_.finish(now); }

private:
    bool plugged() const { return plugged_; }
    ServedDevice& inner_;
    Micros at_;
    bool plugged_ = false;
    std::vector<Event> events_;
};

}  // namespace convsim
