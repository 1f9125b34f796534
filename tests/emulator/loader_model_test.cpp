// The loader identity: numbering, image completion, final total, refusals and its faults.
#include <gtest/gtest.h>

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

    const auto packets = conv::buildAPackets(imageOf(300));
    h.exchange(packets[0]);  // erases the old image
    runApplication();
    EXPECT_EQ(h.model->identity(), Identity::Loader) << "incomplete image";
    EXPECT_TRUE(h.inputs.empty()) << "run application is not answered";
}

TEST_F(Loader, PacketsOutOfOrderOrWithoutAFirstPacketAreRefusedAndNotStored) {
    const auto packets = conv::buildAPackets(imageOf(300));
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
    EXPECT_EQ(reason(h.exchange(conv::buildAPackets(imageOf(4097))[0])), LoaderResult::BadTotal);
    EXPECT_TRUE(h.model->flash().app.complete()) << "a refused first packet erases nothing";
    conv::LoaderReport empty = conv::buildAPackets(imageOf(48))[0];
    empty[conv::loader::kTotal + 1] = 0;
    EXPECT_EQ(reason(h.exchange(empty)), LoaderResult::BadTotal);
    EXPECT_EQ(reason(h.exchange(conv::makeLoaderCommand(0x55, 3))), LoaderResult::UnknownCommand);
    const auto fits = conv::buildAPackets(imageOf(4096))[0];
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
    h.write(conv::buildAPackets(imageOf(100))[0]);  // out at 3000, programmed by 3600, answered at 4000
    EXPECT_EQ(h.model->nextDeadline(), 4'000);
}

TEST(LoaderFaults, UnplugBeforeAnythingIsErasedBootsTheOldImage) {
    Harness h("unplug@1");
    h.enterLoader();
    h.exchange(conv::makeSyncPacket());
    EXPECT_TRUE(h.exchange(conv::buildAPackets(imageOf(400))[0]).empty());
    EXPECT_EQ(h.model->identity(), Identity::None);
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Normal);
}

}  // namespace
}  // namespace convsim::test
