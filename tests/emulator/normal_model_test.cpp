// The normal-mode identity: update mode, status reports, B-line echoes, burn, start A and quit.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "model_harness.h"

namespace convsim::test {
namespace {

const Bytes kC4{0xC4};
const Bytes kBurnedRun{0x01, 0x01, 0x02, 0x42, 0xD0};

class NormalMode : public ::testing::Test {
protected:
    Harness h;
    void SetUp() override {
        h.config.reportPeriod = 8'000;
        h.start();
        ASSERT_EQ(h.model->identity(), Identity::Normal);
    }
    static conv::FrameReport line(std::uint16_t address, std::uint8_t seed) {
        conv::BLine l;
        l.address = address;
        for (std::size_t i = 0; i < l.data.size(); ++i) l.data[i] = static_cast<std::uint8_t>(seed + 13 * i);
        return conv::makeBLineFrame(l);
    }
    // Reads reports as "ub" does: the echo must come within ten.
    Bytes echoOf(const conv::FrameReport& frame) {
        h.write(frame);
        for (std::size_t i = 0; i < h.inputs.size() && i < 10; ++i) {
            if (conv::isBLineEcho(h.inputs[i].data(), h.inputs[i].size())) {
                Bytes echo = h.inputs[i];
                h.inputs.clear();
                return echo;
            }
        }
        h.inputs.clear();
        return {};
    }
    Bytes nextStatus() {
        h.inputs.clear();
        h.wait(h.config.reportPeriod);
        return h.inputs.empty() ? Bytes{} : h.inputs.back();
    }
};

TEST_F(NormalMode, SendsNothingOutsideUpdateModeAndOnlyTheRightModeCodeEntersIt) {
    h.wait(100'000);
    EXPECT_TRUE(h.inputs.empty());
    h.write(Harness::modeFrame("WRONG123"));
    conv::FrameReport corrupted = Harness::modeFrame();
    corrupted[11] ^= 1;
    h.write(corrupted);
    h.wait(100'000);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_FALSE(h.model->inUpdateMode());

    h.write(Harness::modeFrame());
    h.wait(80'000);
    EXPECT_EQ(h.inputs.size(), 10u) << "one status report every 8 ms";
}

TEST_F(NormalMode, StatusShowsC4OnlyAfterBLinesAndTheBurnedRunOnlyAfterTheBurn) {
    h.write(Harness::modeFrame());
    const Bytes before = nextStatus();
    ASSERT_EQ(before.size(), 32u);
    EXPECT_EQ(before[0], 1);
    EXPECT_NE(before[1], 2) << "a status report never looks like an echo";
    EXPECT_TRUE(conv::frameChecksumOk(before.data(), before.size()));
    EXPECT_FALSE(firstTenHold(before, kC4));
    EXPECT_FALSE(firstTenHold(before, kBurnedRun));

    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kBurnB));
    EXPECT_FALSE(firstTenHold(nextStatus(), kBurnedRun)) << "nothing to burn";

    ASSERT_FALSE(echoOf(line(0x0010, 1)).empty());
    const Bytes held = nextStatus();
    EXPECT_TRUE(firstTenHold(held, kC4));
    EXPECT_FALSE(firstTenHold(held, kBurnedRun));

    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kBurnB));
    EXPECT_TRUE(firstTenHold(nextStatus(), kBurnedRun));
    ASSERT_EQ(h.model->flash().bcode.size(), 1u);
    EXPECT_EQ(h.model->flash().bcode.begin()->first, 0x0010);
}

TEST_F(NormalMode, EveryLineIsEchoedUnchangedAfterAtMostTwoOtherReports) {
    h.write(Harness::modeFrame());
    for (std::uint16_t i = 0; i < 6; ++i) {
        const conv::FrameReport frame = line(static_cast<std::uint16_t>(i * 16), static_cast<std::uint8_t>(i));
        h.write(frame);
        ASSERT_LE(h.inputs.size(), 3u);
        const Bytes& echo = h.inputs.back();
        ASSERT_TRUE(conv::isBLineEcho(echo.data(), echo.size()));
        EXPECT_EQ(conv::echoChecksum(echo.data()), conv::checkSum(frame.data(), 21));
        EXPECT_TRUE(conv::frameChecksumOk(echo.data(), echo.size()));
        h.inputs.clear();
    }
    EXPECT_EQ(h.model->flash().bcode.size(), 0u) << "lines wait in RAM until the burn";
}

TEST_F(NormalMode, BurnReplacesTheBCodeWithTheLinesOfThisSession) {
    FlashState old = FlashState::factory();
    old.bcode[0x7000] = BLineData{};
    h.start(old);
    h.write(Harness::modeFrame());
    echoOf(line(0x0020, 5));
    echoOf(line(0x0000, 9));
    echoOf(line(0x0020, 7));  // a line sent again replaces the first copy
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kBurnB));
    const auto& bcode = h.model->flash().bcode;
    ASSERT_EQ(bcode.size(), 2u);
    EXPECT_EQ(bcode.at(0x0020)[0], 7);
    EXPECT_EQ(bcode.count(0x7000), 0u);
}

TEST_F(NormalMode, QuitEndsUpdateModeAndDropsUnburnedLines) {
    h.write(Harness::modeFrame());
    echoOf(line(0x0030, 3));
    h.write(Harness::shortFrame(conv::frame::kKindQuit, conv::frame::kQuitA));
    h.write(Harness::shortFrame(conv::frame::kKindQuit, conv::frame::kQuitSecond));
    EXPECT_FALSE(h.model->inUpdateMode());
    h.inputs.clear();
    h.wait(100'000);
    EXPECT_TRUE(h.inputs.empty());
    h.write(Harness::modeFrame());
    EXPECT_FALSE(firstTenHold(nextStatus(), kC4));
}

TEST_F(NormalMode, FramesOutsideUpdateModeOrMalformedAreIgnored) {
    EXPECT_TRUE(echoOf(line(0x0040, 1)).empty()) << "no echo outside update mode";
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kStartA));
    h.wait(h.config.reenumDelay * 2);
    EXPECT_EQ(h.model->identity(), Identity::Normal) << "start A needs the mode frame first";

    h.write(Harness::modeFrame());
    h.inputs.clear();
    const conv::FrameReport mode = Harness::modeFrame();
    const Bytes shortWrite(mode.begin(), mode.begin() + 13);
    h.write(shortWrite);
    h.write(Bytes(300, 0x05));
    conv::FrameReport numbered = line(0, 1);
    numbered[0] = 4;
    h.write(numbered);
    conv::FrameReport unknown{};
    conv::putFrame(unknown, 9, {1, 2});
    h.write(unknown);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_TRUE(h.model->inUpdateMode());
}

TEST_F(NormalMode, StartAMakesTheLoaderAppearAfterTheReEnumerationDelay) {
    h.write(Harness::modeFrame());
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kStartA));
    EXPECT_EQ(h.model->identity(), Identity::None);
    ASSERT_EQ(h.left, std::vector<Identity>{Identity::Normal});
    h.wait(h.config.reenumDelay - 1);
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(1);
    EXPECT_EQ(h.model->identity(), Identity::Loader);
    EXPECT_EQ(h.arrived, std::vector<Identity>{Identity::Loader});
    EXPECT_TRUE(h.inputs.empty()) << "the loader sends nothing of its own";
}

TEST(NormalModeTiming, FullSpeedBurnTakesItsTimeBeforeD0) {
    Harness h;
    h.config.fullSpeed = true;
    h.config.reportPeriod = 8'000;
    h.start();
    h.write(Harness::modeFrame());
    for (std::uint16_t i = 0; i < 100; ++i) {
        conv::BLine l;
        l.address = static_cast<std::uint16_t>(i * 16);
        h.write(conv::makeBLineFrame(l));
    }
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kBurnB));
    EXPECT_TRUE(h.model->flash().bcode.empty());
    h.wait(100 * kBLineBurn);
    EXPECT_EQ(h.model->flash().bcode.size(), 100u);
}

}  // namespace
}  // namespace convsim::test
