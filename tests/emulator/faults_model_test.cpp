// Each fault switch, seen through the model, and the parsing of --fault arguments.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "model_harness.h"

namespace convsim::test {
namespace {

Harness loaderWith(const std::string& spec) {
    Harness h;
    EXPECT_EQ(addFault(h.config.faults, spec), std::nullopt);
    h.start(FlashState{});
    return h;
}

bool ackMatches(const Bytes& reply, const conv::LoaderReport& packet) {
    return reply.size() >= 2 && le16(reply, 0) == (conv::packetChecksum(packet) & 0xFFFF);
}

TEST(FaultParsing, AcceptsEachKnownFormAndRefusesTheRest) {
    Faults f;
    for (const char* ok : {"silent-loader", "no-loader", "bad-ack@3", "unplug@1", "unplug-b@9", "bad-echo@2", "no-c4", "no-d0",
                           "slow-reenum=2500", "garbage-replies", "short-replies", "long-replies", "flood"})
        EXPECT_EQ(addFault(f, ok), std::nullopt) << ok;
    EXPECT_EQ(f.badAck, 3u);
    EXPECT_EQ(f.slowReenumMs, 2500);
    for (const char* bad : {"", "unplugged", "bad-ack", "bad-ack@0", "bad-ack@x", "bad-ack@3x", "no-c4@2", "slow-reenum", "flood=1"}) {
        auto error = addFault(f, bad);
        ASSERT_TRUE(error.has_value()) << bad;
        EXPECT_NE(error->find(std::string("'") + bad + "'"), std::string::npos) << *error;
    }
}

TEST(Faults, SilentLoaderNeverAnswers) {
    Harness h = loaderWith("silent-loader");
    h.write(conv::makeSyncPacket());
    h.write(conv::makeLoaderCommand(conv::loader::kCmdStatus));
    h.wait(10'000'000);
    EXPECT_TRUE(h.inputs.empty());
}

TEST(Faults, NoLoaderBringsNormalModeBackInstead) {
    Harness h;
    addFault(h.config.faults, "no-loader");
    h.start();
    h.enterLoader();
    EXPECT_EQ(h.model->identity(), Identity::Normal);
    EXPECT_EQ(h.left, std::vector<Identity>{Identity::Normal});
}

TEST(Faults, BadAckFlipsABitOfPacketNOnlyAndTheTotalShowsIt) {
    Harness h = loaderWith("bad-ack@2");
    const conv::AImage image = imageOf(48 + 56 * 2 + 10);
    h.write(conv::makeSyncPacket());
    h.inputs.clear();
    const auto packets = conv::buildAPackets(image);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        h.write(packets[i]);
        EXPECT_EQ(ackMatches(h.takeOne(), packets[i]), i != 1) << "packet " << i;
    }
    EXPECT_NE(h.model->flash().app.total16(), image.checksum16());
    EXPECT_TRUE(h.model->flash().app.complete());
}

TEST(Faults, UnplugAtPacketNLeavesAnIncompleteImageThatBootsTheLoader) {
    Harness h = loaderWith("unplug@3");
    h.write(conv::makeSyncPacket());
    const auto packets = conv::buildAPackets(imageOf(400));
    h.write(packets[0]);
    h.write(packets[1]);
    h.inputs.clear();
    h.write(packets[2]);
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_EQ(h.left, std::vector<Identity>{Identity::Loader});
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Loader);
    EXPECT_EQ(h.model->flash().app.bytes.size(), 48u + 56u);

    // It fires once: the next try goes through.
    h.write(conv::makeSyncPacket());
    for (const auto& p : packets) h.write(p);
    EXPECT_TRUE(h.model->flash().app.complete());
}

TEST(Faults, UnplugBeforeTheFirstPacketKeepsTheOldImageAndBootsIt) {
    Harness h;
    addFault(h.config.faults, "unplug@1");
    h.start();
    h.enterLoader();
    h.write(conv::makeSyncPacket());
    h.write(conv::buildAPackets(imageOf(100))[0]);
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Normal);
    EXPECT_EQ(h.model->flash(), FlashState::factory());
}

class NormalFault : public ::testing::Test {
protected:
    Harness h;
    void startWith(const std::string& spec) {
        ASSERT_EQ(addFault(h.config.faults, spec), std::nullopt);
        h.start();
        h.write(Harness::modeFrame());
        h.inputs.clear();
    }
    conv::FrameReport line(std::uint16_t address) {
        conv::BLine l;
        l.address = address;
        l.data.fill(0x3C);
        return conv::makeBLineFrame(l);
    }
    Bytes lastStatus() {
        h.inputs.clear();
        h.wait(h.config.reportPeriod);
        return h.inputs.empty() ? Bytes{} : h.inputs.back();
    }
};

TEST_F(NormalFault, BadEchoChangesOneByteOfLineNAndKeepsIt) {
    startWith("bad-echo@2");
    for (std::uint16_t n = 1; n <= 3; ++n) {
        const auto frame = line(static_cast<std::uint16_t>(n * 16));
        h.write(frame);
        const Bytes& echo = h.inputs.back();
        ASSERT_TRUE(conv::isBLineEcho(echo.data(), echo.size()));
        EXPECT_EQ(conv::echoChecksum(echo.data()) == conv::checkSum(frame.data(), 21), n != 2) << "line " << n;
        h.inputs.clear();
    }
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kBurnB));
    EXPECT_NE(h.model->flash().bcode.at(32)[15], 0x3C);
}

TEST_F(NormalFault, NoC4KeepsTheStatusWithoutC4AfterLines) {
    startWith("no-c4");
    h.write(line(0));
    EXPECT_FALSE(firstTenHold(lastStatus(), {0xC4}));
}

TEST_F(NormalFault, NoD0FailsTheBurnAndLeavesTheFlash) {
    startWith("no-d0");
    h.write(line(0));
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kBurnB));
    const Bytes status = lastStatus();
    EXPECT_FALSE(firstTenHold(status, {0x01, 0x01, 0x02, 0x42, 0xD0}));
    EXPECT_FALSE(firstTenHold(status, {0xC4}));
    EXPECT_TRUE(h.model->flash().bcode.empty());
}

TEST_F(NormalFault, UnplugAtBLineNDropsTheLinesAndComesBackInNormalMode) {
    startWith("unplug-b@2");
    h.write(line(0));
    h.write(line(16));
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Normal);
    EXPECT_FALSE(h.model->inUpdateMode());
}

TEST(Faults, SlowReenumReplacesTheDelay) {
    Harness h;
    addFault(h.config.faults, "slow-reenum=3000");
    h.start();
    h.write(Harness::modeFrame());
    h.write(Harness::shortFrame(conv::frame::kKindStartBurn, conv::frame::kStartA));
    h.wait(2'999'000);
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(1'000);
    EXPECT_EQ(h.model->identity(), Identity::Loader);
}

TEST(Faults, ReplyShapeFaultsSpoilEveryReply) {
    const auto sync = conv::makeSyncPacket();
    auto replyUnder = [&](const char* spec) {
        Harness h = loaderWith(spec);
        h.write(sync);
        return h.takeOne();
    };
    const Bytes garbage = replyUnder("garbage-replies");
    EXPECT_EQ(garbage.size(), 64u);
    EXPECT_FALSE(le16(garbage, 0) == 0xA6 && le16(garbage, 4) == 2);
    EXPECT_EQ(replyUnder("short-replies").size(), 4u);
    const Bytes longer = replyUnder("long-replies");
    ASSERT_EQ(longer.size(), 128u);
    EXPECT_EQ(le16(longer, 0), 0xA6);
}

TEST(Faults, FloodSendsTenReportsAMillisecondEvenOutsideUpdateMode) {
    Harness h;
    addFault(h.config.faults, "flood");
    h.start();
    for (int ms = 0; ms < 10; ++ms) h.wait(1'000);
    EXPECT_EQ(h.inputs.size(), 100u);
}

}  // namespace
}  // namespace convsim::test
