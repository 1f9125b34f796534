// The normal-mode identity: update mode, status reports, B-line echoes, burn, start A and quit.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "model_harness.h"

namespace convsim::test {
namespace {

using conv::frame::kKindStartBurn;

TEST(NormalMode, ReportsOnlyInUpdateModeWhichOnlyTheRightModeCodeEnters) {
    Harness h;
    h.mode("WRONG123");
    conv::FrameReport corrupted{};
    conv::putFrame(corrupted, conv::frame::kKindMode, conv::modeCode());
    corrupted[11] ^= 1;
    h.write(corrupted);
    h.frame(kKindStartBurn, {conv::frame::kStartA});
    h.wait(1'000'000);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_EQ(h.model->identity(), Identity::Normal) << "start A needs update mode";

    h.mode();
    h.wait(80'000);
    EXPECT_EQ(h.inputs.size(), 10u) << "one status report every 8 ms";
    h.frame(conv::frame::kKindQuit, {conv::frame::kQuitA});
    h.inputs.clear();
    h.wait(80'000);
    EXPECT_TRUE(h.inputs.empty()) << "quit ends update mode";
}

TEST(NormalMode, StatusShowsC4OnlyAfterBLinesAndTheBurnedRunOnlyAfterTheBurn) {
    Harness h;
    h.mode();
    const Bytes before = h.status();
    ASSERT_EQ(before.size(), 32u);
    EXPECT_EQ(before[0], 1);
    EXPECT_NE(before[1], 2) << "never taken for an echo";
    EXPECT_TRUE(conv::frameChecksumOk(before.data(), before.size()));
    EXPECT_FALSE(firstTenHold(before, kC4) || firstTenHold(before, kBurnedRun));
    h.frame(kKindStartBurn, {conv::frame::kBurnB});
    EXPECT_FALSE(firstTenHold(h.status(), kBurnedRun)) << "nothing to burn";

    h.write(bLine(0x0010));
    const Bytes held = h.status();
    EXPECT_TRUE(firstTenHold(held, kC4));
    EXPECT_FALSE(firstTenHold(held, kBurnedRun));
    h.frame(kKindStartBurn, {conv::frame::kBurnB});
    EXPECT_TRUE(firstTenHold(h.status(), kBurnedRun));
}

TEST(NormalMode, EachLineIsEchoedUnchangedAfterAtMostTwoOtherReports) {
    Harness h;
    EXPECT_TRUE(h.exchange(bLine(0)).empty()) << "no echo outside update mode";
    h.mode();
    for (std::uint8_t i = 0; i < 6; ++i) {
        const conv::FrameReport frame = bLine(static_cast<std::uint16_t>(i * 16), i);
        h.inputs.clear();
        h.write(frame);
        ASSERT_LE(h.inputs.size(), 3u);
        const Bytes& echo = h.inputs.back();
        ASSERT_TRUE(conv::isBLineEcho(echo.data(), echo.size()));
        EXPECT_EQ(conv::echoChecksum(echo.data()), conv::checkSum(frame.data(), 21));
        EXPECT_TRUE(conv::frameChecksumOk(echo.data(), echo.size()));
    }
    EXPECT_TRUE(h.model->flash().bcode.empty()) << "lines wait in RAM until the burn";
}

TEST(NormalMode, BurnReplacesTheBCodeWithThisSessionsLinesAndQuitDropsUnburnedOnes) {
    FlashState old = FlashState::factory();
    old.bcode[0x7000] = BLineData{};
    Harness h("", old);
    h.mode();
    h.write(bLine(0x0020, 5));
    h.write(bLine(0x0000, 9));
    h.write(bLine(0x0020, 7));  // sent again: replaces the first copy
    h.frame(kKindStartBurn, {conv::frame::kBurnB});
    const auto& bcode = h.model->flash().bcode;
    ASSERT_EQ(bcode.size(), 2u);
    EXPECT_EQ(bcode.at(0x0020)[0], 7);

    h.write(bLine(0x0030));
    h.frame(conv::frame::kKindQuit, {conv::frame::kQuitB});
    h.mode();
    h.frame(kKindStartBurn, {conv::frame::kBurnB});
    EXPECT_EQ(h.model->flash().bcode.size(), 2u);
}

TEST(NormalMode, MalformedWritesAreIgnored) {
    Harness h;
    h.mode();
    h.inputs.clear();
    conv::FrameReport numbered = bLine(0);
    numbered[0] = 4;
    conv::FrameReport unknown{};
    conv::putFrame(unknown, 9, {1, 2});
    const Bytes truncated(numbered.begin(), numbered.begin() + 13);
    for (const Bytes& bad : {truncated, Bytes(300, 5), Bytes(numbered.begin(), numbered.end()), Bytes(unknown.begin(), unknown.end())})
        h.write(bad);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_TRUE(h.model->inUpdateMode());
}

TEST(NormalMode, AFullSpeedBurnTakesItsTimeAndEndsEvenAfterAQuit) {
    Harness h;
    h.config.fullSpeed = true;
    h.start(FlashState::factory());
    h.mode();
    for (std::uint16_t i = 0; i < 100; ++i) h.write(bLine(static_cast<std::uint16_t>(i * 16)));
    h.frame(kKindStartBurn, {conv::frame::kBurnB});
    h.frame(conv::frame::kKindQuit, {conv::frame::kQuitB});
    EXPECT_TRUE(h.model->flash().bcode.empty());
    h.wait(100 * kBLineBurn);
    EXPECT_EQ(h.model->flash().bcode.size(), 100u);
}

}  // namespace
}  // namespace convsim::test
