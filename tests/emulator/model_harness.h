#pragma once
// Drives a DeviceModel on a virtual clock and gathers what it sends.
#include <memory>
#include <string>
#include <vector>

#include "conv/packets.h"
#include "device_model.h"

namespace convsim::test {

using Bytes = std::vector<std::uint8_t>;

struct Harness {
    ModelConfig config;
    std::unique_ptr<DeviceModel> model;
    Micros now = 0;
    std::vector<Bytes> inputs;
    std::vector<Identity> left, arrived;
    std::vector<std::string> notes;

    Harness() { config.reenumDelay = 500'000; }

    void start(FlashState flash = FlashState::factory()) {
        model = std::make_unique<DeviceModel>(config, std::move(flash), now);
    }
    void collect() {
        for (Event& e : model->takeEvents()) {
            if (e.kind == Event::Kind::Input) inputs.push_back(std::move(e.bytes));
            if (e.kind == Event::Kind::Left) left.push_back(e.identity);
            if (e.kind == Event::Kind::Arrived) arrived.push_back(e.identity);
            if (e.kind == Event::Kind::Note) notes.push_back(e.text);
        }
    }
    template <std::size_t N>
    void write(const std::array<std::uint8_t, N>& report) {
        model->write(report, now);
        collect();
    }
    void write(const Bytes& report) {
        model->write(report, now);
        collect();
    }
    void wait(Micros micros) {
        now += micros;
        model->advance(now);
        collect();
    }
    Bytes takeOne() {
        if (inputs.empty()) return {};
        Bytes first = inputs.front();
        inputs.erase(inputs.begin());
        return first;
    }
    bool noted(const std::string& part) const {
        for (const auto& n : notes)
            if (n.find(part) != std::string::npos) return true;
        return false;
    }

    // Normal mode: mode frame (update mode on) and start A, then the re-enumeration delay.
    void enterLoader() {
        write(modeFrame());
        conv::FrameReport start{};
        conv::putFrame(start, conv::frame::kKindStartBurn, {conv::frame::kStartA});
        write(start);
        wait(config.reenumDelay);
        inputs.clear();
    }
    static conv::FrameReport modeFrame(std::string_view code = conv::modeCode()) {
        conv::FrameReport f{};
        conv::putFrame(f, conv::frame::kKindMode, code);
        return f;
    }
    static conv::FrameReport shortFrame(std::uint8_t kind, std::uint8_t payload) {
        conv::FrameReport f{};
        conv::putFrame(f, kind, {payload});
        return f;
    }
};

inline std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }

inline conv::AImage imageOf(std::size_t size, std::uint8_t seed = 1) {
    conv::AImage image;
    for (std::size_t i = 0; i < size; ++i) image.bytes.push_back(static_cast<std::uint8_t>(i * 31 + seed));
    image.total = static_cast<std::uint32_t>(size);
    return image;
}

// Where a status report (01 01 02 ...) carries the given byte among its first ten bytes.
inline bool firstTenHold(const Bytes& report, const Bytes& run) {
    const std::size_t n = std::min<std::size_t>(report.size(), 10);
    for (std::size_t i = 0; i + run.size() <= n; ++i)
        if (std::equal(run.begin(), run.end(), report.begin() + static_cast<std::ptrdiff_t>(i))) return true;
    return false;
}

}  // namespace convsim::test
