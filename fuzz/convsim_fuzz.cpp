// The emulated converter's handling of what reaches it from outside: the host's reports (any
// length, any bytes, in any order, at any time), the `--fault` arguments, the state file and a
// wire recording to replay. The first byte chooses: 0 the state file (the rest is its text),
// 1 fault arguments (one per line), 3 a wire recording ([change][text]: a host that makes the
// recorded opens and writes, with its first written byte changed when `change` is odd),
// anything else a device session:
//   [mode][faults][fault numbers][ops...], each op [code][...]:
//     code % 4 == 0: [n][n bytes] written as they are
//     code % 4 == 1: [lo][hi] time passes, in units of 16 us
//     code % 4 == 2: [kind][n][n bytes] a frame with a correct checksum
//     code % 4 == 3: [command][56 bytes] a loader packet carrying the number the loader expects
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "conv/packets.h"
#include "device_model.h"
#include "faults.h"
#include "conv/wirerecord.h"
#include "flash.h"
#include "fuzz_check.h"
#include "replay_device.h"

namespace {

using convsim::Micros;


struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::span<const std::uint8_t> take(std::size_t n) {
        n = std::min(n, size - pos);
        std::span<const std::uint8_t> bytes(data + pos, n);
        pos += n;
        return bytes;
    }
    bool done() const { return pos >= size; }
};

void stateFile(std::string_view text) {
    const convsim::FlashParse parsed = convsim::parseFlash(text);
    if (parsed.error) return;
    // What was accepted is written back the same way and described without trouble.
    const convsim::FlashParse again = convsim::parseFlash(convsim::serializeFlash(parsed.flash));
    FUZZ_REQUIRE(!again.error && again.flash == parsed.flash);
    (void)convsim::describeFlash(parsed.flash);
}

void faultArguments(std::string_view text) {
    convsim::Faults faults;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view faultText = text.substr(0, end);
        if (const auto error = convsim::addFault(faults, faultText)) FUZZ_REQUIRE(!error->empty());
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

// What is accepted is written back the same way; the host it records replays it without a
// divergence, and a host that changes one written byte diverges.
void wireRecording(bool change, std::string_view text) {
    auto parsed = convsim::parseRecording(text);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        FUZZ_REQUIRE(error->starts_with("line "));
        return;
    }
    const auto& recording = std::get<convsim::ReplayRecording>(parsed);
    // Each recorded run's opens and writes, in order.
    std::vector<std::vector<const convsim::ReplayEntry*>> runs(recording.runs.size());
    for (const convsim::ReplayEntry& e : recording.entries) {
        const std::string line = conv::wire::formatLine(e.event);
        const auto again = conv::wire::parseLine(std::string_view(line).substr(0, line.size() - 1));
        FUZZ_REQUIRE(std::holds_alternative<conv::wire::Event>(again) &&
                     conv::wire::formatLine(std::get<conv::wire::Event>(again)) == line);
        if (e.event.kind == conv::wire::Kind::Open || e.event.kind == conv::wire::Kind::Out) runs[e.run].push_back(&e);
    }
    auto found = [](const convsim::ReplayEntry& e) { return e.event.open == conv::wire::OpenResult::Opened; };
    bool changed = false;
    convsim::ReplayDevice device(recording, true);
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const std::size_t host = r;  // one host process per recorded run
        for (std::size_t k = 0; k < runs[r].size() && !device.diverged(); ++k) {
            const convsim::ReplayEntry& e = *runs[r][k];
            if (e.event.kind == conv::wire::Kind::Open) {
                const bool there = device.open(e.identity, host, e.event.t);
                if (there && !found(e) && k == 0) {
                    // There sooner than recorded: this run goes on as the one that found it.
                    std::size_t later = r + 1;
                    while (later < runs.size() && (runs[later].empty() || !found(*runs[later][0]))) ++later;
                    FUZZ_REQUIRE(later < runs.size() && runs[later][0]->identity == e.identity);
                    r = later;
                    k = 0;
                    continue;
                }
                FUZZ_REQUIRE(there == found(e));
            } else {
                std::vector<std::uint8_t> bytes = e.event.bytes;
                if (change && !changed && !bytes.empty()) {
                    bytes[0] ^= 1;
                    changed = true;
                }
                device.write(e.identity, bytes, host, e.event.t);
            }
            (void)device.takeEvents();
        }
    }
    FUZZ_REQUIRE(device.finish(0) == (changed ? convsim::kReplayFailed : 0));
    FUZZ_REQUIRE(device.diverged() == changed);
}

void checkEvents(convsim::DeviceModel& model, const convsim::ModelConfig& config) {
    for (const convsim::Event& e : model.takeEvents()) {
        if (e.kind == convsim::Event::Kind::Input) {
            FUZZ_REQUIRE(e.identity != convsim::Identity::None);
            FUZZ_REQUIRE(e.bytes.size() <= 2 * conv::kLoaderReportSize);
        }
    }
    const convsim::AppImage& app = model.flash().app;
    FUZZ_REQUIRE(app.bytes.size() <= app.declaredTotal || app.declaredTotal == 0);
    FUZZ_REQUIRE(app.declaredTotal <= config.appRegionBytes || app.bytes.empty());
}

void session(Reader& in) {
    const std::uint8_t faultBits = in.byte();
    const std::uint8_t numbers = in.byte();
    convsim::ModelConfig config;
    config.reenumDelay = 2'000;
    config.reportPeriod = 400;
    config.appRegionBytes = 4'096;
    config.fullSpeed = (numbers & 0x80) != 0;
    convsim::Faults& f = config.faults;
    f.silentLoader = faultBits & 1;
    f.noLoader = faultBits & 2;
    f.noC4 = faultBits & 4;
    f.noD0 = faultBits & 8;
    f.garbageReplies = faultBits & 16;
    f.shortReplies = faultBits & 32;
    f.longReplies = faultBits & 64;
    f.flood = faultBits & 128;
    if (numbers & 0x07) f.badAck = numbers & 0x07;
    if (numbers & 0x18) f.unplug = (numbers >> 3) & 0x03;
    if (numbers & 0x60) f.badEcho = (numbers >> 5) & 0x03;

    // A blank converter starts as the loader, a programmed one in normal mode.
    convsim::FlashState flash = (numbers & 0x40) ? convsim::FlashState{} : convsim::FlashState::factory();
    Micros now = 0;
    convsim::DeviceModel model(config, flash, now);
    while (!in.done()) {
        const std::uint8_t code = in.byte();
        switch (code % 4) {
            case 0: {
                const auto bytes = in.take(in.byte());
                model.write(bytes, now);
                break;
            }
            case 1: {
                now += 16 * static_cast<Micros>(in.byte() | (in.byte() << 8));
                model.advance(now);
                break;
            }
            case 2: {
                const std::uint8_t kind = in.byte();
                const auto payload = in.take(in.byte());
                conv::FrameReport frame{};
                conv::putFrame(frame, kind, std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
                model.write(frame, now);
                break;
            }
            case 3: {
                conv::LoaderReport packet = conv::makeLoaderCommand(in.byte(), model.lastReplyNumber() + 1);
                const auto bytes = in.take(conv::kLoaderReportSize - 9);
                std::copy(bytes.begin(), bytes.end(), packet.begin() + 9);
                model.write(packet, now);
                break;
            }
        }
        // The server sleeps until the next deadline; once reached, it must lie ahead, or the
        // server would spin.
        if (const auto next = model.nextDeadline(); next && (code & 0x80)) {
            now = std::max(now, *next);
            model.advance(now);
            FUZZ_REQUIRE(!model.nextDeadline() || *model.nextDeadline() > now);
        }
        checkEvents(model, config);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in{data, size};
    const std::uint8_t mode = in.byte();
    const std::string_view rest(reinterpret_cast<const char*>(data) + in.pos, size - in.pos);
    switch (mode) {
        case 0: stateFile(rest); break;
        case 1: faultArguments(rest); break;
        case 3: wireRecording(!rest.empty() && (rest[0] & 1), rest.empty() ? rest : rest.substr(1)); break;
        default: session(in); break;
    }
    return 0;
}
