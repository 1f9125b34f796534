// Each fault switch seen through the model, and the parsing of --fault arguments.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "model_harness.h"

namespace convsim::test {
namespace {

TEST(FaultParsing, AcceptsEachKnownFormAndNamesTheRejectedArgument) {
    Faults f;
    for (const char* ok : {"silent-loader", "no-loader", "bad-ack@3", "unplug@1", "unplug-b@9", "bad-echo@2", "no-c4", "no-d0",
                           "slow-reenum=2500", "garbage-replies", "short-replies", "long-replies", "flood"})
        EXPECT_EQ(addFault(f, ok), std::nullopt) << ok;
    EXPECT_EQ(f.badAck, 3u);
    EXPECT_EQ(f.slowReenumMs, 2500);
    for (const char* bad : {"", "unplugged", "bad-ack", "bad-ack@0", "bad-ack@3x", "no-c4@2", "slow-reenum", "flood=1"}) {
        auto error = addFault(f, bad);
        ASSERT_TRUE(error) << bad;
        EXPECT_NE(error->find(std::string("'") + bad + "'"), std::string::npos) << *error;
    }
}

bool acked(const Bytes& reply, const conv::LoaderReport& packet) {
    return reply.size() >= 2 && le16(reply, 0) == conv::packetChecksum(packet);
}

TEST(LoaderFaults, SilentLoaderNeverAnswersAndNoLoaderBringsNormalModeBack) {
    Harness silent("silent-loader", FlashState{});
    silent.write(conv::makeSyncPacket());
    silent.wait(10'000'000);
    EXPECT_TRUE(silent.inputs.empty());

    Harness h("no-loader");
    h.enterLoader();
    EXPECT_EQ(h.left, std::vector<Identity>{Identity::Normal});
    EXPECT_EQ(h.model->identity(), Identity::Normal);
}

TEST(LoaderFaults, BadAckSpoilsPacketNOnceAndTheStoredImageShowsIt) {
    Harness h("bad-ack@2", FlashState{});
    const conv::AImage image = imageOf(48 + 56 * 2 + 10);
    h.exchange(conv::makeSyncPacket());
    const auto packets = conv::buildAPackets(image);
    for (std::size_t i = 0; i < packets.size(); ++i) EXPECT_EQ(acked(h.exchange(packets[i]), packets[i]), i != 1) << i;
    EXPECT_NE(h.model->flash().app.total16(), image.checksum16());
}

TEST(LoaderFaults, UnplugAtPacketNLeavesTheImageIncompleteAndTheLoaderComesBack) {
    Harness h("unplug@3", FlashState{});
    h.exchange(conv::makeSyncPacket());
    const auto packets = conv::buildAPackets(imageOf(400));
    h.exchange(packets[0]);
    h.exchange(packets[1]);
    EXPECT_TRUE(h.exchange(packets[2]).empty());
    EXPECT_EQ(h.left, std::vector<Identity>{Identity::Loader});
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Loader);
    EXPECT_EQ(h.model->flash().app.bytes.size(), 48u + 56u);
    h.exchange(conv::makeSyncPacket());  // fired once: the next try goes through
    for (const auto& p : packets) h.exchange(p);
    EXPECT_TRUE(h.model->flash().app.complete());

    Harness early("unplug@1");  // before the first packet erased anything: boots the old image
    early.enterLoader();
    early.exchange(conv::makeSyncPacket());
    early.exchange(packets[0]);
    early.wait(early.config.reenumDelay);
    EXPECT_EQ(early.model->identity(), Identity::Normal);
}

TEST(LoaderFaults, SlowReenumReplacesTheDelay) {
    Harness h("slow-reenum=3000");
    h.mode();
    h.frame(conv::frame::kKindStartBurn, {conv::frame::kStartA});
    h.wait(2'999'000);
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(1'000);
    EXPECT_EQ(h.model->identity(), Identity::Loader);
}

TEST(NormalFaults, BadEchoChangesOneByteOfLineNAndKeepsIt) {
    Harness h("bad-echo@2");
    h.mode();
    for (std::uint16_t n = 1; n <= 3; ++n) {
        const auto frame = bLine(static_cast<std::uint16_t>(n * 16));
        h.inputs.clear();
        h.write(frame);
        const Bytes& echo = h.inputs.back();
        EXPECT_EQ(conv::echoChecksum(echo.data()) == conv::checkSum(frame.data(), 21), n != 2) << n;
    }
    h.frame(conv::frame::kKindStartBurn, {conv::frame::kBurnB});
    EXPECT_NE(h.model->flash().bcode.at(32)[15], bLine(32)[20]);
}

TEST(NormalFaults, NoC4AndNoD0KeepTheirMarkersAway) {
    Harness noC4("no-c4");
    noC4.mode();
    noC4.write(bLine(0));
    EXPECT_FALSE(firstTenHold(noC4.status(), kC4));

    Harness noD0("no-d0");
    noD0.mode();
    noD0.write(bLine(0));
    noD0.frame(conv::frame::kKindStartBurn, {conv::frame::kBurnB});
    const Bytes status = noD0.status();
    EXPECT_FALSE(firstTenHold(status, kBurnedRun) || firstTenHold(status, kC4));
    EXPECT_TRUE(noD0.model->flash().bcode.empty());
}

TEST(NormalFaults, UnplugAtBLineNComesBackInNormalModeWithoutTheLines) {
    Harness h("unplug-b@2");
    h.mode();
    h.write(bLine(0));
    h.write(bLine(16));
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Normal);
    EXPECT_FALSE(h.model->inUpdateMode());
}

TEST(ReportFaults, ReplyShapesAndFlood) {
    const auto sync = conv::makeSyncPacket();
    const Bytes garbage = Harness("garbage-replies", FlashState{}).exchange(sync);
    EXPECT_EQ(garbage.size(), 64u);
    EXPECT_FALSE(acked(garbage, sync) && le16(garbage, 4) == 2);
    EXPECT_EQ(Harness("short-replies", FlashState{}).exchange(sync).size(), 4u);
    const Bytes longer = Harness("long-replies", FlashState{}).exchange(sync);
    EXPECT_EQ(longer.size(), 128u);
    EXPECT_TRUE(acked(longer, sync));

    Harness flood("flood");  // outside update mode too
    for (int ms = 0; ms < 10; ++ms) flood.wait(1'000);
    EXPECT_EQ(flood.inputs.size(), 100u);
}

}  // namespace
}  // namespace convsim::test
