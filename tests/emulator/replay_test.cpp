// A recorded converter played back on a virtual clock: what a replay tolerates (polls while no
// device is there, a killed run going further), what it does not (any other byte), and
// recordings it refuses.
#include <gtest/gtest.h>

#include <algorithm>

#include "replay_device.h"
#include "row_name.h"

using namespace convsim;

namespace {

// sa finds normal mode; sa and sta find nothing; sta finds the loader, drops a report unread and
// finds the loader gone; qb is killed after its first write.
const std::string kRecording =
    R"({"ev":"run","v":1,"argc":1,"arg":"sa","t":0}
{"ev":"open","id":"0e7b:0bf2","result":"opened","t":10}
{"ev":"out","id":"0e7b:0bf2","n":2,"hex":"0501","t":20}
{"ev":"end","t":30}
{"ev":"run","v":1,"argc":1,"arg":"sa","t":0}
{"ev":"open","id":"0e7b:0bf2","result":"absent","t":10}
{"ev":"run","v":1,"argc":1,"arg":"sta","t":0}
{"ev":"open","id":"0416:a316","result":"absent","t":10}
{"ev": "end", "t": 30}
{"ev":"run","v":1,"argc":1,"arg":"sta","t":0}
{"ev":"open","id":"0416:a316","result":"opened","t":10}
{"ev":"out","id":"0416:a316","n":2,"hex":"00a6","t":20}
{"ev":"in","id":"0416:a316","n":1,"wait":-1,"hex":"a6","t":1020}
{"ev":"drop","id":"0416:a316","n":1,"hex":"a7","t":1500}
{"ev":"in","id":"0416:a316","n":-1,"wait":-1,"hex":"","t":2020}
{"ev":"end","t":2030}
{"ev":"run","v":1,"argc":1,"arg":"qb","t":0}
{"ev":"open","id":"0e7b:0bf2","result":"opened","t":10}
{"ev":"out","id":"0e7b:0bf2","n":2,"hex":"0542","t":20}
)";

ReplayDevice device(bool fast) { return ReplayDevice(std::get<ReplayRecording>(parseRecording(kRecording)), fast); }

std::string notes(ReplayDevice& d) {
    std::string text;
    for (const Event& e : d.takeEvents())
        if (e.kind == Event::Kind::Note) text += e.text + "\n";
    return text;
}

using Bytes = std::vector<std::uint8_t>;

// A fast replay whose host has made the first run as recorded.
ReplayDevice afterFirstRun() {
    ReplayDevice d = device(true);
    EXPECT_TRUE(d.open(Identity::Normal, 1, 0));
    d.write(Identity::Normal, Bytes{0x05, 0x01}, 1, 0);
    return d;
}

// Each row: how many polls the host makes while no device is recorded.
class ReplayPolls : public testing::TestWithParam<HostRun> {};
TEST_P(ReplayPolls, MayDifferReadsComeAtTheirPaceAKilledRunMayGoFurther) {
    const HostRun polls = GetParam();
    ReplayDevice d = device(false);
    EXPECT_EQ(d.identity(), Identity::Normal) << "what a holder or a device list sees";
    EXPECT_FALSE(d.open(Identity::Loader, 100, 0)) << "not yet: the recording opens normal mode first";
    ASSERT_TRUE(d.open(Identity::Normal, 1, 0));
    d.write(Identity::Normal, Bytes{0x05, 0x01}, 1, 0);
    for (HostRun run = 2; run < 2 + polls; ++run) EXPECT_FALSE(d.open(Identity::Normal, run, 0));
    ASSERT_TRUE(d.open(Identity::Loader, 50, 0));
    d.write(Identity::Loader, Bytes{0x00, 0xa6}, 50, 100);
    d.advance(1099);
    EXPECT_TRUE(d.takeEvents().empty()) << "the read came 1000 us after the write";
    EXPECT_EQ(d.nextDeadline(), 1100);
    d.advance(1100);
    auto events = d.takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].bytes, Bytes{0xa6});
    d.advance(1600);
    EXPECT_TRUE(d.takeEvents().empty()) << "a dropped report is not sent";
    d.advance(2100);
    events = d.takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].kind == Event::Kind::Left && events[0].identity == Identity::Loader);

    ASSERT_TRUE(d.open(Identity::Normal, 60, 3000));
    d.write(Identity::Normal, Bytes{0x05, 0x42}, 60, 3000);
    EXPECT_FALSE(d.open(Identity::Normal, 60, 3000)) << "beyond the killed run's recording";
    d.write(Identity::Normal, Bytes{0x05, 0x20}, 60, 3000);
    EXPECT_EQ(d.finish(3000), 0);
    EXPECT_EQ(notes(d),
              "run qb goes beyond its recording, where it was killed; the rest is not compared\n"
              "replay complete: every recorded report matched\n");
}
INSTANTIATE_TEST_SUITE_P(, ReplayPolls, testing::Values(0, 1, 4), testing::PrintToStringParamName());

TEST(Replay, AChangedByteDivergesAndSilencesTheDeviceARunCutShortLeavesItsRestUnused) {
    ReplayDevice d = device(true);
    ASSERT_TRUE(d.open(Identity::Normal, 1, 0));
    d.write(Identity::Normal, Bytes{0x05, 0x02}, 1, 0);
    EXPECT_EQ(notes(d), "replay diverged at report 1 (run sa): expected 0501, got 0502\n");
    EXPECT_FALSE(d.open(Identity::Loader, 2, 0));
    EXPECT_EQ(d.finish(0), kReplayFailed);

    ReplayDevice early = afterFirstRun();
    ASSERT_TRUE(early.open(Identity::Loader, 2, 0));
    ASSERT_TRUE(early.open(Identity::Normal, 3, 0)) << "the next run still pairs with the next recorded one";
    EXPECT_EQ(early.finish(0), kReplayFailed);
    EXPECT_EQ(notes(early), "replay ended with 2 recorded events unused, the first at line 12 (run sta)\n");

    // Later runs that found a device count as unused; an open where a write was recorded, or a
    // write without an open, diverges once and finds nothing.
    ReplayDevice first = afterFirstRun(), twice = device(true), unopened = device(true);
    EXPECT_EQ(first.finish(0), kReplayFailed);
    EXPECT_EQ(notes(first), "replay diverged: the host stopped after run 1; the recording has 4 more runs\n");
    // A host that goes on after the recording's last run diverges.
    ReplayDevice beyond = afterFirstRun();
    beyond.open(Identity::Loader, 2, 0), beyond.write(Identity::Loader, Bytes{0x00, 0xa6}, 2, 0);
    beyond.open(Identity::Normal, 3, 0), beyond.write(Identity::Normal, Bytes{0x05, 0x42}, 3, 0);
    EXPECT_FALSE(beyond.open(Identity::Normal, 4, 0));
    EXPECT_EQ(beyond.finish(0), kReplayFailed);
    EXPECT_NE(notes(beyond).find("the recording has no run left after run 5 (qb); the host went on"),
              std::string::npos);
    ASSERT_TRUE(twice.open(Identity::Normal, 1, 0));
    EXPECT_FALSE(twice.open(Identity::Normal, 1, 0));
    unopened.write(Identity::Normal, Bytes{0x05, 0x01}, 1, 0);
    const std::string diverged = notes(unopened);
    EXPECT_NE(diverged.find("expected an open first, got 0501\n"), std::string::npos) << diverged;
    EXPECT_EQ(std::count(diverged.begin(), diverged.end(), '\n'), 1) << diverged;
}

struct Damaged : rowname::Row {
    std::string text, error;
};
std::vector<Damaged> damagedRecordings() {
    const std::string run = R"({"ev":"run","v":1,"argc":1,"arg":"sa","t":0})";
    // clang-format off
    return {
        {"empty", "", "line 1: no run recorded"},
        {"no line end", run, "line 1: cut off (no line end): the recording is truncated"},
        {"cut inside a line", run + "\n{\"ev\":\"open\",\"id\":\"0416:a316\",\"res", "line 2: cut off (no line end): the recording is truncated"},
        {"no JSON", "garbage\n", "line 1: not a JSON object"},
        {"end outside a run", R"({"ev":"end","t":0})" "\n", "line 1: event outside a run (no \"run\" line before it since the last \"end\")"},
        {"count and bytes differ", run + "\n" + R"({"ev":"in","id":"0416:a316","n":2,"hex":"a6","t":5})" "\n", "line 2: \"n\" does not match the bytes read"},
        {"foreign identity", run + "\n" + R"({"ev":"out","id":"1234:5678","n":1,"hex":"00","t":5})" "\n",
         "line 2: identity is not one of the converter's (0416:a316, 0e7b:0bf2)"},
        {"not hex", run + "\n" + R"({"ev":"out","id":"0416:a316","n":1,"hex":"0g","t":5})" "\n", "line 2: report without hex bytes \"hex\""},
        {"other format version", R"({"ev":"run","v":2,"arg":"sa","t":0})" "\n", "line 1: format version is not 1"},
        {"no count", run + "\n" + R"({"ev":"out","id":"0416:a316","hex":"00","t":5})" "\n", "line 2: report without a count \"n\""},
        {"count out of range", run + "\n" + R"({"ev":"out","id":"0416:a316","n":-2,"hex":"","t":5})" "\n", "line 2: \"n\" -2 is out of range (-1 to 65536)"},
        {"time out of range", run + "\n" + R"({"ev":"out","id":"0416:a316","n":1,"hex":"00","t":9223372036854775807})" "\n",
         "line 2: \"t\" 9223372036854775807 is out of range (0 to 1000000000000)"},
        {"long unknown event", "{\"ev\":\"" + std::string(1000, 'x') + "\",\"t\":0}\n", "line 1: unknown event \"" + std::string(40, 'x') + "...\" (1000 characters)"},
        {"malformed identity", run + "\n" + R"({"ev":"out","id":"0416:a3160","n":1,"hex":"00","t":5})" "\n", "line 2: identity \"id\" is not vvvv:pppp"},
    };
    // clang-format on
}

class DamagedRecording : public testing::TestWithParam<Damaged> {};
TEST_P(DamagedRecording, IsRefusedNamingTheLine) {
    auto parsed = parseRecording(GetParam().text);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
    EXPECT_EQ(std::get<std::string>(parsed), GetParam().error);
}
INSTANTIATE_TEST_SUITE_P(, DamagedRecording, testing::ValuesIn(damagedRecordings()), rowname::ByName{});

}  // namespace
