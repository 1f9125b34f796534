#pragma once
// Drives a DeviceModel on a virtual clock and gathers what it sends.
#include <algorithm>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "conv/packets.h"
#include "device_model.h"
#include "hex_text.h"

namespace convsim::test {

using Bytes = std::vector<std::uint8_t>;
namespace frame = conv::frame;

struct Harness {
    ModelConfig config;
    std::unique_ptr<DeviceModel> model;
    Micros now = 0;
    std::vector<Bytes> inputs;

    explicit Harness(std::string fault = "", FlashState flash = FlashState::factory()) {
        if (!fault.empty() && addFault(config.faults, fault)) throw std::runtime_error("bad fault " + fault);
        start(std::move(flash));
    }
    void start(FlashState flash) { model = std::make_unique<DeviceModel>(config, std::move(flash), now); }
    void write(std::span<const std::uint8_t> report) {
        model->write(report, now);
        collect();
    }
    void wait(Micros micros) {
        model->advance(now += micros);
        collect();
    }
    // The first report a write drew (empty when none), clearing the rest.
    Bytes exchange(std::span<const std::uint8_t> report) {
        inputs.clear();
        write(report);
        return inputs.empty() ? Bytes{} : std::exchange(inputs, {}).front();
    }
    void frame(std::uint8_t kind, std::initializer_list<std::uint8_t> payload) {
        conv::FrameReport f{};
        conv::putFrame(f, kind, payload);
        write(f);
    }
    void mode(std::string_view code = conv::modeCode()) {
        conv::FrameReport f{};
        conv::putFrame(f, frame::kKindMode, code);
        write(f);
    }
    void burn() { frame(frame::kKindStartBurn, {frame::kBurnB}); }
    void enterLoader() {
        mode();
        frame(frame::kKindStartBurn, {frame::kStartA});
        wait(config.reenumDelay);
        inputs.clear();
    }
    // The status report after one more period.
    Bytes status() {
        inputs.clear();
        wait(config.reportPeriod);
        return inputs.empty() ? Bytes{} : inputs.back();
    }

private:
    void collect() {
        for (Event& e : model->takeEvents())
            if (e.kind == Event::Kind::Input) inputs.push_back(std::move(e.bytes));
    }
};

inline std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

inline conv::FrameReport bLine(std::uint16_t address, std::uint8_t seed = 0x3C) {
    conv::BLine l;
    l.address = address;
    for (std::size_t i = 0; i < l.data.size(); ++i) l.data[i] = static_cast<std::uint8_t>(seed + 13 * i);
    return conv::makeBLineFrame(l);
}

// Whether `run` appears among the first ten bytes of a report.
inline bool firstTenHold(const Bytes& report, const Bytes& run) {
    const auto end = report.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(report.size(), 10));
    return std::search(report.begin(), end, run.begin(), run.end()) != end;
}
const Bytes kC4{0xC4};
const Bytes kBurnedRun{0x01, 0x01, 0x02, 0x42, 0xD0};

}  // namespace convsim::test
