// Wire recordings (TAVIK_RECORD files, the files users send us) as convsim --replay reads and plays
// them. The input is [host][recording text]; host % 4 chooses the host played against it:
//   0 the host the recording records: the replay matches and uses everything;
//   1 that host with its first written byte changed: it diverges;
//   2 that host stopping before the recording's last run that opens a device: it diverges;
//   3 that host going on with one more run after the last: it diverges.
// Whatever is refused names its line and quotes only a short excerpt; whatever is accepted
// formats back line for line and holds only numbers replay can use safely.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "conv/wirerecord.h"
#include "fuzz_check.h"
#include "replay_device.h"

namespace {

using conv::wire::Kind;
using convsim::ReplayEntry;

bool found(const ReplayEntry& e) { return e.event.open == conv::wire::OpenResult::Opened; }

// Plays `host` against the recording and checks that the replay ends as that host must end it.
void play(const convsim::ReplayRecording& recording, int host) {
    // Each recorded run's opens and writes, in order.
    std::vector<std::vector<const ReplayEntry*>> runs(recording.runs.size());
    std::size_t lastOpening = runs.size();  // the last run that opens a device
    for (const ReplayEntry& e : recording.entries) {
        if (e.event.kind == Kind::Open || e.event.kind == Kind::Out) runs[e.run].push_back(&e);
        if (e.event.kind == Kind::Open) lastOpening = e.run;
    }
    bool changed = false, stopped = false;
    convsim::ReplayDevice device(recording, true);
    for (std::size_t r = 0; r < runs.size() && !device.diverged(); ++r) {
        if (host == 2 && r == lastOpening) {
            stopped = true;
            break;
        }
        const convsim::HostRun process = r;  // one host process per recorded run
        for (std::size_t k = 0; k < runs[r].size() && !device.diverged(); ++k) {
            const ReplayEntry& e = *runs[r][k];
            if (e.event.kind == Kind::Open) {
                const bool there = device.open(e.identity, process, e.event.t);
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
                if (host == 1 && !changed && !bytes.empty()) {
                    bytes[0] ^= 1;
                    changed = true;
                }
                device.write(e.identity, bytes, process, e.event.t);
            }
            (void)device.takeEvents();
        }
    }
    if (host == 3) {
        FUZZ_REQUIRE(!device.open(convsim::Identity::Normal, runs.size() + 1, 0));
        FUZZ_REQUIRE(device.diverged());
    }
    const bool diverges = changed || stopped || host == 3;
    FUZZ_REQUIRE(device.finish(0) == (diverges ? convsim::kReplayFailed : 0));
    FUZZ_REQUIRE(device.diverged() == (changed || host == 3));
    for (const convsim::Event& e : device.takeEvents()) FUZZ_REQUIRE(e.text.size() <= 600);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int host = data[0] % 4;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto parsed = convsim::parseRecording(text);
    if (auto* error = std::get_if<std::string>(&parsed)) {
        FUZZ_REQUIRE(error->starts_with("line "));
        FUZZ_REQUIRE(error->size() <= 200);  // a short excerpt, however long the line
        return 0;
    }
    const auto& recording = std::get<convsim::ReplayRecording>(parsed);
    for (const ReplayEntry& e : recording.entries) {
        // What is accepted is written back the same way, with numbers replay can add and keep.
        const std::string line = conv::wire::formatLine(e.event);
        const auto again = conv::wire::parseLine(std::string_view(line).substr(0, line.size() - 1));
        FUZZ_REQUIRE(std::holds_alternative<conv::wire::Event>(again) &&
                     conv::wire::formatLine(std::get<conv::wire::Event>(again)) == line);
        FUZZ_REQUIRE(e.event.t >= 0 && e.event.t <= conv::wire::kMaxTime);
        FUZZ_REQUIRE(e.event.n >= -1 && e.event.n <= 65536 && e.event.bytes.size() <= 65536);
    }
    play(recording, host);
    return 0;
}
