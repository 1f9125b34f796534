// The loader identity: numbering, image completion, final total and refusals.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "model_harness.h"

namespace convsim::test {
namespace {

class Loader : public ::testing::Test {
protected:
    Harness h;
    void SetUp() override {
        h.config.appRegionBytes = 4096;
        h.start();
        h.enterLoader();
        ASSERT_EQ(h.model->identity(), Identity::Loader);
    }
    // Sends one packet and returns the one reply it must draw.
    Bytes exchange(const conv::LoaderReport& packet) {
        h.write(packet);
        EXPECT_EQ(h.inputs.size(), 1u) << "one reply per packet";
        Bytes reply = h.takeOne();
        h.inputs.clear();
        return reply;
    }
    static bool acked(const Bytes& reply, const conv::LoaderReport& packet) {
        return reply.size() == 64 && le16(reply, 0) == (conv::packetChecksum(packet) & 0xFFFF) &&
               le16(reply, 4) == le16(Bytes(packet.begin() + 1, packet.end()), 4) + 1;
    }
};

TEST_F(Loader, SyncRestartsNumberingAndStatusTellsTheNextNumber) {
    const Bytes sync = exchange(conv::makeSyncPacket());
    EXPECT_EQ(le16(sync, 0), 0xA6);
    EXPECT_EQ(le16(sync, 4), 2);
    const Bytes status = exchange(conv::makeLoaderCommand(conv::loader::kCmdStatus));
    EXPECT_EQ(le16(status, 4), 2) << "the next packet carries 3";

    const auto packets = conv::buildAPackets(imageOf(200));
    for (const auto& p : packets) ASSERT_TRUE(acked(exchange(p), p));
    EXPECT_EQ(le16(exchange(conv::makeLoaderCommand(conv::loader::kCmdStatus)), 4), 2 + 2 * packets.size());
}

TEST_F(Loader, WholeImageIsStoredAndEveryReplyAfterItsEndCarriesTheTotal) {
    // 48 + 56 * 3 bytes: the image is complete one packet before the (empty) last one.
    const conv::AImage image = imageOf(48 + 56 * 3);
    const auto packets = conv::buildAPackets(image);
    ASSERT_EQ(packets.size(), 5u);
    exchange(conv::makeSyncPacket());
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Bytes reply = exchange(packets[i]);
        ASSERT_TRUE(acked(reply, packets[i])) << "packet " << i;
        const bool complete = i >= 3;
        EXPECT_EQ(le16(reply, 8), complete ? image.checksum16() : 0) << "packet " << i;
    }
    EXPECT_EQ(h.model->flash().app.bytes, image.bytes);
    EXPECT_TRUE(h.model->flash().app.complete());
}

TEST_F(Loader, FirstPacketErasesTheOldImageAndRunApplicationNeedsACompleteOne) {
    exchange(conv::makeSyncPacket());
    const auto packets = conv::buildAPackets(imageOf(300));
    exchange(packets[0]);
    EXPECT_FALSE(h.model->flash().app.complete());

    // RunApRom: status, then 0xAB with its number plus one.
    auto run = [&] {
        const Bytes status = exchange(conv::makeLoaderCommand(conv::loader::kCmdStatus));
        h.write(conv::makeLoaderCommand(conv::loader::kCmdRunAprom, le16(status, 4) + 1u));
        h.wait(h.config.reenumDelay);
    };
    run();
    EXPECT_EQ(h.model->identity(), Identity::Loader) << "an incomplete image does not start";
    EXPECT_TRUE(h.inputs.empty()) << "run application is not answered";

    exchange(conv::makeSyncPacket());
    for (const auto& p : packets) exchange(p);
    run();
    EXPECT_EQ(h.model->identity(), Identity::Normal);
}

TEST_F(Loader, RunApplicationWithAWrongNumberIsIgnored) {
    exchange(conv::makeSyncPacket());
    h.write(conv::makeLoaderCommand(conv::loader::kCmdRunAprom, 7));
    h.wait(h.config.reenumDelay);
    EXPECT_EQ(h.model->identity(), Identity::Loader);
}

TEST_F(Loader, ReEnumerationRestartsTheNumbering) {
    exchange(conv::makeSyncPacket());
    for (const auto& p : conv::buildAPackets(imageOf(120))) exchange(p);
    EXPECT_EQ(h.model->lastReplyNumber(), 8u);
    h.write(conv::makeLoaderCommand(conv::loader::kCmdRunAprom, 9));
    h.wait(h.config.reenumDelay);
    h.enterLoader();
    ASSERT_EQ(h.model->identity(), Identity::Loader);
    EXPECT_EQ(le16(exchange(conv::makeLoaderCommand(conv::loader::kCmdStatus)), 4), 0);
}

// ---- refusals ----

TEST_F(Loader, OutOfOrderAndWrongNumbersAreRefusedWithAChecksumThatCannotMatch) {
    const auto packets = conv::buildAPackets(imageOf(300));
    const Bytes noSync = exchange(packets[0]);
    EXPECT_FALSE(acked(noSync, packets[0])) << "a fresh loader expects a sync first";
    EXPECT_EQ(le16(noSync, 4), 4) << "the reply still names the packet, so the host stops waiting";
    EXPECT_EQ(noSync[2], static_cast<std::uint8_t>(LoaderResult::WrongNumber));

    exchange(conv::makeSyncPacket());
    EXPECT_FALSE(acked(exchange(packets[1]), packets[1])) << "continuation before the first packet";
    ASSERT_TRUE(acked(exchange(packets[0]), packets[0]));
    EXPECT_FALSE(acked(exchange(packets[2]), packets[2])) << "packet 7 before packet 5";
    EXPECT_TRUE(acked(exchange(packets[1]), packets[1])) << "a refusal does not move the numbering";
    EXPECT_EQ(h.model->flash().app.bytes.size(), 48u + 56u);
}

TEST_F(Loader, ContinuationAfterSyncWithoutFirstPacketIsRefused) {
    exchange(conv::makeSyncPacket());
    auto packets = conv::buildAPackets(imageOf(300));
    exchange(packets[0]);
    exchange(conv::makeSyncPacket());
    // Renumbered as the first packet after sync would be, but it is no first packet.
    conv::LoaderReport next = packets[1];
    next[5] = 3;
    const Bytes reply = exchange(next);
    EXPECT_EQ(reply[2], static_cast<std::uint8_t>(LoaderResult::NoTransfer));
    EXPECT_FALSE(acked(reply, next));
}

TEST_F(Loader, ImagesLargerThanTheRegionAndEmptyImagesAreRefused) {
    exchange(conv::makeSyncPacket());
    auto packets = conv::buildAPackets(imageOf(4097));
    const Bytes tooBig = exchange(packets[0]);
    EXPECT_EQ(tooBig[2], static_cast<std::uint8_t>(LoaderResult::BadTotal));
    EXPECT_TRUE(h.model->flash().app.complete()) << "a refused first packet erases nothing";

    conv::LoaderReport empty = conv::buildAPackets(imageOf(48))[0];
    empty[conv::loader::kTotal + 1] = 0;
    EXPECT_EQ(exchange(empty)[2], static_cast<std::uint8_t>(LoaderResult::BadTotal));

    const auto fits = conv::buildAPackets(imageOf(4096));
    EXPECT_TRUE(acked(exchange(fits[0]), fits[0]));
}

TEST_F(Loader, MalformedWritesAndUnknownCommandsNeverCrashOrAck) {
    h.write(Bytes{});
    h.write(Bytes(64, 0));
    Bytes numbered(65, 0);
    numbered[0] = 2;
    h.write(numbered);
    h.write(Bytes(4096, 0xA4));
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_TRUE(h.noted("drops a write"));

    const auto odd = conv::makeLoaderCommand(0x55, 1);
    const Bytes reply = exchange(odd);
    EXPECT_EQ(reply[2], static_cast<std::uint8_t>(LoaderResult::UnknownCommand));
    EXPECT_FALSE(acked(reply, odd));
}

TEST(LoaderTiming, FullSpeedRepliesWaitForTheNextFrameAndTheFlashProgramTime) {
    Harness h;
    h.config.fullSpeed = true;
    h.start(FlashState{});
    ASSERT_EQ(h.model->identity(), Identity::Loader);
    h.wait(250);
    h.write(conv::makeSyncPacket());
    EXPECT_TRUE(h.inputs.empty());
    EXPECT_EQ(h.model->nextDeadline(), 1'000);
    h.wait(750);
    ASSERT_EQ(h.inputs.size(), 1u);

    h.inputs.clear();
    h.write(conv::buildAPackets(imageOf(100))[0]);  // at 1000 us: programmed by 1600, sent in frame 2000
    EXPECT_EQ(h.model->nextDeadline(), 2'000);
}

}  // namespace
}  // namespace convsim::test
