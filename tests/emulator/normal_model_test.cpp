// The normal-mode identity (update mode, status reports, B-line echoes, burn, start A and quit),
// its faults and the --fault arguments. What tavik sees of the faults (bad-echo, short and long
// replies, flood) is in tavik_session.py.
#include <gtest/gtest.h>

#include <algorithm>

#include "model_harness.h"

namespace convsim::test {
namespace {

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
    h.wait(80'000);
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
// reports must not add to it.
TEST(NormalFaults, FloodNPutsExactlyNStatusReportsBeforeEveryEcho) {
    Harness h("flood=5");
    h.mode();
    for (std::uint16_t address : {0x0000, 0x0010, 0x0020}) {
        h.inputs.clear();
        h.write(bLine(address));
        ASSERT_EQ(h.inputs.size(), 6u) << address;
        EXPECT_TRUE(
            std::all_of(h.inputs.begin(), h.inputs.end() - 1, [](const Bytes& r) { return firstTenHold(r, kC4); }));
        EXPECT_TRUE(conv::isBLineEcho(h.inputs.back().data(), h.inputs.back().size())) << address;
    }
}

// The accepted forms are the ones tavik_session.py and e2e.py start convsim with.
TEST(FaultParsing, ARejectedArgumentIsNamed) {
    Faults f;
    for (const char* bad : {"", "unplugged", "bad-ack", "bad-ack@0", "bad-ack@3x", "no-c4@2", "slow-reenum", "flood=0",
                            "flood=63", "out-slow@3", "out-slow@0=5", "out-stall", "slow-leave"}) {
        SCOPED_TRACE(bad);
        const auto error = addFault(f, bad);
        EXPECT_NE(error.value_or("").find(std::string("'") + bad + "'"), std::string::npos)
            << error.value_or("accepted");
    }
}

}  // namespace
}  // namespace convsim::test
