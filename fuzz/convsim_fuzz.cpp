// The emulated converter's handling of what reaches it from outside: the host's reports (any
// length, any bytes, in any order, at any time), the `--fault` arguments and the state file (wire
// recordings to replay have a target of their own, wire_fuzz.cpp). The first byte chooses: 0 the
// state file (the rest is its text), 1 fault arguments (one per line), anything else a device
// session:
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
#include "flash.h"
#include "fuzz_check.h"

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
                conv::putFrame(frame, kind,
                               std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
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
        case 0:
            stateFile(rest);
            break;
        case 1:
            faultArguments(rest);
            break;
        default:
            session(in);
            break;
    }
    return 0;
}
