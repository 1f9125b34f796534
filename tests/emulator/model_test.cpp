// The converter model: the loader identity (numbering, image completion, final total, refusals and
// its faults), the normal-mode identity (update mode, status reports, B-line echoes, burn, start A
// and quit, its faults and the --fault arguments), the state file, and which reports reach a
// hidraw file and how many wait there, as the kernel decides. What tavik sees of the faults
// (bad-echo, short and long replies, flood), of the hidraw nodes and of --show (sizes, totals,
// SHA-256, checked against the HEX files) is in tavik_session.py and the e2e matrix. The one table
// of faults: every fault it lists is taken by the parser, and emulator/README.md tables exactly
// these faults, so a fault added to one place alone fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "doc_names.h"
#include "faults.h"
#include "flash.h"
#include "hidraw_rules.h"
#include "model_harness.h"

namespace convsim::test {
namespace {

bool acked(const Bytes& reply, const conv::LoaderReport& packet) {
    return reply.size() == 64 && le16(reply, 0) == conv::packetChecksum(packet) &&
           le16(reply, 4) == packet[5] + (packet[6] << 8) + 1;
}
LoaderResult reason(const Bytes& reply) { return static_cast<LoaderResult>(reply.at(2)); }

class Loader : public ::testing::Test {
protected:
    Harness h;
    void SetUp() override {
        h.config.appRegionBytes = 4096;
        h.start(FlashState::factory());
        h.enterLoader();
        ASSERT_EQ(h.model->identity(), Identity::Loader);
    }
    Bytes status() { return h.exchange(conv::makeLoaderCommand(conv::loader::kCmdStatus)); }
    // RunApRom: status, then 0xAB with the status reply's number plus one.
    void runApplication() {
        h.write(conv::makeLoaderCommand(conv::loader::kCmdRunAprom, le16(status(), 4) + 1u));
        h.wait(h.config.reenumDelay);
    }
};

// A good transfer (numbering, stored image, totals) and bad-ack are followed in tavik_session.py.
TEST_F(Loader, RunApplicationWithAWrongNumberOrAnIncompleteImageStays) {
    h.exchange(conv::makeSyncPacket());
    h.write(conv::makeLoaderCommand(conv::loader::kCmdRunAprom, 7));
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Loader) << "wrong number";

    const auto packets = conv::buildAPackets(hextext::image(300));
    h.exchange(packets[0]);  // erases the old image
    runApplication();
    EXPECT_EQ(h.model->identity(), Identity::Loader) << "incomplete image";
    EXPECT_TRUE(h.inputs.empty()) << "run application is not answered";
}

TEST_F(Loader, PacketsOutOfOrderOrWithoutAFirstPacketAreRefusedAndNotStored) {
    const auto packets = conv::buildAPackets(hextext::image(300));
    const Bytes noSync = h.exchange(packets[0]);
    EXPECT_FALSE(acked(noSync, packets[0]));
    EXPECT_EQ(le16(noSync, 4), 4) << "the reply still names the packet, so the host stops waiting";
    EXPECT_EQ(reason(noSync), LoaderResult::WrongNumber);

    h.exchange(conv::makeSyncPacket());
    conv::LoaderReport renumbered = packets[1];  // numbered like a first packet, but a continuation
    renumbered[5] = 3;
    EXPECT_EQ(reason(h.exchange(renumbered)), LoaderResult::NoTransfer);
    ASSERT_TRUE(acked(h.exchange(packets[0]), packets[0]));
    EXPECT_FALSE(acked(h.exchange(packets[2]), packets[2])) << "7 before 5";
    EXPECT_FALSE(acked(h.exchange(packets[0]), packets[0])) << "3 again";
    EXPECT_TRUE(acked(h.exchange(packets[1]), packets[1])) << "refusals leave the numbering";
    EXPECT_EQ(h.model->flash().app.bytes.size(), 48u + 56u);

    Harness blank("", FlashState{});  // powered up in the loader, before any sync
    renumbered[5] = 1;
    EXPECT_EQ(reason(blank.exchange(renumbered)), LoaderResult::NoTransfer);
}

TEST_F(Loader, LengthsBeyondTheRegionUnknownCommandsAndMalformedWritesAreRefused) {
    h.exchange(conv::makeSyncPacket());
    EXPECT_EQ(reason(h.exchange(conv::buildAPackets(hextext::image(4097))[0])), LoaderResult::BadTotal);
    EXPECT_TRUE(h.model->flash().app.complete()) << "a refused first packet erases nothing";
    conv::LoaderReport empty = conv::buildAPackets(hextext::image(48))[0];
    empty[conv::loader::kTotal + 1] = 0;
    EXPECT_EQ(reason(h.exchange(empty)), LoaderResult::BadTotal);
    EXPECT_EQ(reason(h.exchange(conv::makeLoaderCommand(0x55, 3))), LoaderResult::UnknownCommand);
    const auto fits = conv::buildAPackets(hextext::image(4096))[0];
    EXPECT_TRUE(acked(h.exchange(fits), fits));

    Bytes numbered(65, 0);
    numbered[0] = 2;
    for (const Bytes& bad : {Bytes{}, Bytes(64, 0), numbered, Bytes(4096, 0xA4)}) EXPECT_TRUE(h.exchange(bad).empty());
}

TEST(LoaderTiming, FullSpeedPacketsTakeAFrameEachWayAndTheProgramTime) {
    Harness h;
    h.config.fullSpeed = true;
    h.start(FlashState{});
    h.wait(250);
    h.write(conv::makeSyncPacket());  // out in the frame at 1000, answered in the next one
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_EQ(h.model->nextDeadline(), 2'000);
    h.wait(1750);
    EXPECT_EQ(h.inputs.size(), 1u);
    h.write(conv::buildAPackets(hextext::image(100))[0]);  // out at 3000, programmed by 3600, answered at 4000
    EXPECT_EQ(h.model->nextDeadline(), 4'000);
}

TEST(LoaderFaults, UnplugBeforeAnythingIsErasedBootsTheOldImage) {
    Harness h("unplug@1");
    h.enterLoader();
    h.exchange(conv::makeSyncPacket());
    EXPECT_TRUE(h.exchange(conv::buildAPackets(hextext::image(400))[0]).empty());
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Normal);
}

// The C4 / D0 sequence of a good session is followed in tavik_session.py; here its negatives.
TEST(NormalMode, StatusReportsOnlyInUpdateModeAndNoC4OrD0WithoutLines) {
    Harness h;
    h.mode("WRONG123");
    conv::FrameReport corrupted{};
    conv::putFrame(corrupted, frame::kKindMode, conv::modeCode());
    corrupted[11] ^= 1;
    h.write(corrupted);
    h.frame(frame::kKindStartBurn, {frame::kStartA});
    h.wait(1'000'000);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_EQ(h.model->identity(), Identity::Normal) << "start A needs update mode";

    h.mode();
    for (int period = 0; period < 10; ++period) h.wait(8'000);  // in steps: a held-up convsim owes one report only
    ASSERT_EQ(h.inputs.size(), 10u) << "one status report every 8 ms";
    const Bytes status = h.inputs.back();
    EXPECT_TRUE(status.size() == 32 && conv::frameChecksumOk(status.data(), status.size()));
    EXPECT_FALSE(firstTenHold(status, kC4) || firstTenHold(status, kBurnedRun));
    h.burn();
    EXPECT_FALSE(firstTenHold(h.status(), kBurnedRun)) << "nothing to burn";
    h.frame(frame::kKindQuit, {frame::kQuitA});
    h.inputs.clear();
    h.wait(80'000);
    EXPECT_TRUE(h.inputs.empty()) << "quit ends update mode";
}

// convsim held up by a loaded machine owes no backlog of status reports: sent at once, they would
// reach the host after its write and push the echo out of the reports it reads for it.
TEST(NormalMode, AHeldUpEmulatorPutsNoBacklogAheadOfAnEcho) {
    Harness h;
    h.mode();
    h.inputs.clear();
    h.now += 200'000;  // 25 report periods unseen, then the line's write
    h.write(bLine(0x0020));
    h.wait(1'000);
    const auto echo = std::find_if(h.inputs.begin(), h.inputs.end(),
                                   [](const Bytes& r) { return r.size() > 1 && r[1] == frame::kKindBLine; });
    ASSERT_NE(echo, h.inputs.end());
    EXPECT_LE(echo - h.inputs.begin(), 3) << "reports ahead of the echo";
}

TEST(NormalMode, BurnReplacesTheBCodeWithThisSessionsLinesAndQuitDropsUnburnedOnes) {
    FlashState old = FlashState::factory();
    old.bcode[0x7000] = BLineData{};
    Harness h("", old);
    h.mode();
    h.write(bLine(0x0020, 5));
    h.write(bLine(0x0000, 9));
    h.write(bLine(0x0020, 7));  // sent again: replaces the first copy
    h.burn();
    const auto& bcode = h.model->flash().bcode;
    ASSERT_EQ(bcode.size(), 2u);
    EXPECT_EQ(bcode.at(0x0020)[0], 7);

    h.write(bLine(0x0030));
    h.frame(frame::kKindQuit, {frame::kQuitB});
    h.mode();
    h.burn();
    EXPECT_EQ(h.model->flash().bcode.size(), 2u);
}

// Echoes of good lines are checked by tavik for every line in tavik_session.py.
TEST(NormalMode, LinesOutsideUpdateModeAndMalformedWritesAreIgnored) {
    Harness h;
    EXPECT_TRUE(h.exchange(bLine(0)).empty());
    h.mode();
    h.inputs.clear();
    conv::FrameReport numbered = bLine(0);
    numbered[0] = 4;
    conv::FrameReport unknown{};
    conv::putFrame(unknown, 9, {1, 2});
    const Bytes truncated(numbered.begin(), numbered.begin() + 13);
    for (const Bytes& bad :
         {truncated, Bytes(300, 5), Bytes(numbered.begin(), numbered.end()), Bytes(unknown.begin(), unknown.end())})
        h.write(bad);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_TRUE(h.model->inUpdateMode());
}

// What the host meets meanwhile over hidraw (opens wait for the leaving) is in tavik_session.py.
TEST(NormalModeFaults, SlowLeaveKeepsTheIdentityListedButDeafUntilItDropsOff) {
    Harness h("slow-leave=200");
    h.mode();
    h.frame(frame::kKindStartBurn, {frame::kStartA});
    EXPECT_EQ(h.model->leavesAt(), 200'000);
    h.inputs.clear();
    h.wait(199'000);
    h.mode();
    EXPECT_EQ(h.model->identity(), Identity::Normal);
    EXPECT_FALSE(h.model->inUpdateMode()) << "a leaving converter takes no report";
    EXPECT_TRUE(h.inputs.empty()) << "nor sends one";
    h.wait(1'000);
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Loader) << "re-enumeration counts from the drop-off";
}

// The e2e rows flood-5 and flood-12 count on the echo's place; the lines' own lag of zero to two
// reports must not add to it. They come one a frame after the write, none at once with it.
TEST(NormalFaults, FloodNPutsExactlyNStatusReportsBeforeEveryEcho) {
    Harness h("flood=5");
    h.mode();
    const auto isEcho = [](const Bytes& r) { return conv::isBLineEcho(r.data(), r.size()); };
    for (std::uint16_t address : {0x0000, 0x0010, 0x0020}) {
        h.inputs.clear();
        h.write(bLine(address));
        EXPECT_TRUE(h.inputs.empty()) << address;
        for (int step = 0; step < 100 && std::none_of(h.inputs.begin(), h.inputs.end(), isEcho); ++step) h.wait(100);
        const auto echo = std::find_if(h.inputs.begin(), h.inputs.end(), isEcho);
        ASSERT_EQ(echo - h.inputs.begin(), 5) << address;
        EXPECT_TRUE(std::all_of(h.inputs.begin(), echo, [](const Bytes& r) { return firstTenHold(r, kC4); }));
    }
}

// The forms refused here are near the ones tavik_session.py and e2e.py start convsim with.
TEST(FaultTable, EveryListedFaultParsesARejectedOneIsNamedAndTheReadmeTablesExactlyThem) {
    std::set<std::string> listed;
    for (const FaultHelp& fault : faultTable()) {
        listed.insert(std::string(fault.syntax));
        std::string example = std::regex_replace(std::string(fault.syntax), std::regex("MS"), "100");
        example = std::regex_replace(example, std::regex("N"), "3");
        Faults faults;
        EXPECT_EQ(addFault(faults, example), std::nullopt) << example;
        EXPECT_FALSE(fault.help.empty()) << fault.syntax;
    }
    EXPECT_EQ(docnames::inSection("emulator/README.md", "\n## Faults", "\n## ", std::regex(R"(\n\| `([^`]+)` \| )")),
              listed);
    Faults refused;
    for (const char* bad : {"", "unplugged", "bad-ack", "bad-ack@0", "bad-ack@3x", "no-c4@2", "slow-reenum", "flood=0",
                            "flood=63", "out-slow@3", "out-slow@0=5", "out-stall", "slow-leave"})
        EXPECT_NE(addFault(refused, bad).value_or("").find(std::string("'") + bad + "'"), std::string::npos) << bad;
}

FlashState sample() {
    FlashState f;
    f.app.declaredTotal = 100;
    for (int i = 0; i < 70; ++i) f.app.bytes.push_back(static_cast<std::uint8_t>(i * 3));
    f.bcode[0x0120] = BLineData{1, 2, 3};
    f.bcode[0x0010] = BLineData{0xff};
    return f;
}

TEST(FlashFile, RoundTripsKeepsTheOldStateWhenASaveFailsAndNamesTheDamagedLine) {
    for (const FlashState& f : {FlashState{}, FlashState::factory(), sample()})
        EXPECT_EQ(parseFlash(serializeFlash(f)).flash, f);
    const auto dir = std::filesystem::temp_directory_path() / ("convsim-flash-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "state").string();
    EXPECT_FALSE(loadFlashFile(path).flash || loadFlashFile(path).error) << "a missing file is a new device";
    ASSERT_EQ(saveFlashFile(path, sample()), std::nullopt);
    EXPECT_EQ(loadFlashFile(path).flash, sample());
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    std::filesystem::create_directory(path + ".tmp");  // the side file cannot be written: the old state stays whole
    EXPECT_NE(saveFlashFile(path, FlashState{}), std::nullopt);
    EXPECT_EQ(loadFlashFile(path).flash, sample());
    std::filesystem::remove_all(dir);

    const std::string good = serializeFlash(sample());
    auto errorOf = [](std::string text) { return parseFlash(text).error.value_or("sound"); };
    EXPECT_EQ(errorOf("hello\n").rfind("line 1:", 0), 0u);
    EXPECT_NE(errorOf(good.substr(0, good.find("\nb "))), "sound");
    std::string badHex = good, tooMany = good, twice = good, notANumber = good, longLine = good;
    badHex[good.find("\na ") + 5] = 'z';
    EXPECT_EQ(errorOf(badHex).rfind("line 3:", 0), 0u);
    tooMany.replace(tooMany.find("application 100 70"), 18, "application 60 70");
    EXPECT_EQ(errorOf(tooMany).rfind("line 2:", 0), 0u);
    notANumber.replace(notANumber.find("application 100 70"), 18, "application 100x 70");
    EXPECT_EQ(errorOf(notANumber).rfind("line 2:", 0), 0u);
    longLine.insert(longLine.find('\n', longLine.find("b 0010")), "00");  // 17 bytes for a 16-byte line
    EXPECT_NE(errorOf(longLine).find("<32 hex digits>"), std::string::npos);
    twice.replace(twice.find("b 0120"), 6, "b 0010");
    EXPECT_NE(errorOf(twice).find("twice"), std::string::npos);
}

// Byte-wide fields on a vendor page: `count` input bytes as report `id` (0: no Report ID item),
// then a longer output report, which must not count as an input one.
Bytes descriptor(std::uint8_t id, std::uint8_t count) {
    Bytes d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};
    if (id != 0) d.insert(d.end(), {0x85, id});
    d.insert(d.end(), {0x95, count, 0x09, 0x01, 0x81, 0x02});
    if (id != 0) d.insert(d.end(), {0x85, static_cast<std::uint8_t>(id + 4)});
    d.insert(d.end(), {0x95, 0x7F, 0x09, 0x01, 0x91, 0x02, 0xC0});
    return d;
}

TEST(HidrawRules, OnlyDeclaredInputReportsThatFitTheTransferReachTheFile) {
    const InputReports numbered = inputReportsOf(descriptor(1, 31));
    EXPECT_TRUE(reachesHidraw(numbered, Bytes(32, 1)));
    EXPECT_TRUE(reachesHidraw(numbered, Bytes(4, 1))) << "a short report is passed on as it came";
    EXPECT_FALSE(reachesHidraw(numbered, Bytes(33, 1))) << "longer than the interrupt-IN transfer";
    EXPECT_FALSE(reachesHidraw(numbered, Bytes(32, 5))) << "5 is an output report";
    EXPECT_FALSE(reachesHidraw(numbered, Bytes{}));
    const InputReports plain = inputReportsOf(descriptor(0, 64));
    EXPECT_TRUE(reachesHidraw(plain, Bytes(64, 0xEE))) << "without numbers, every report is report 0";
    EXPECT_FALSE(reachesHidraw(plain, Bytes(65, 0)));
}

TEST(HidrawRules, AFullQueueKeepsWhatWaitsAndDropsTheNewest) {
    HidrawQueue queue;
    for (std::uint8_t i = 0; i < 63; ++i) EXPECT_TRUE(queue.push({i})) << int{i};
    EXPECT_FALSE(queue.push({63}));
    EXPECT_EQ(queue.front(), Bytes{0});
    queue.pop();
    EXPECT_TRUE(queue.push({64}));
    EXPECT_EQ(queue.size(), 63u);
}

}  // namespace
}  // namespace convsim::test
