// Device commands as the converter sees them on the wire, and the lines they print.
#include "core/commands.h"
#include "conv/toolrun.h"
#include "fake_device.h"

using namespace tavik;
using namespace tavik::test;

// Sync and RunApRom against the loader's numbering are followed in tests/emulator/tavik_session.py.
TEST(LoaderCommands, PacketNumberWaitSkipsOtherNumbersAndStopsWhenTheDeviceIsGone) {
    Rig rig;
    auto loader = rig.withLoader();
    loader->replies = {loaderReply(0, 2), {}, loaderReply(0, 0x0104)};
    rig.session->open(Identity::Loader, NotFound::Loader);
    EXPECT_TRUE(READ_PKNO_FROM_FW(*rig.session, 0x0104));
    EXPECT_EQ(rig.out.text(),
              "WAIT READ_PKNO_FROM_FW(0104)...(hid_read() ret:64) bufR[4],[5] = 02 00\n"
              "readed 0 byte, retry ...\n"
              "(hid_read() ret:64) bufR[4],[5] = 04 01\n");
    loader->replies = {loaderReply(0, 2)};
    loader->gone = true;
    EXPECT_FALSE(READ_PKNO_FROM_FW(*rig.session, 0x0104));
    EXPECT_TRUE(rig.out.text().ends_with("(hid_read() ret:-1)\n!! hid_read() failed: " +
                                         std::string(conv::kDeviceGone) + ", stopped waiting for the packet number\n"));
}

// The burn frame meets convsim in tests/emulator/tavik_session.py.
TEST(FrameCommands, QuitFramesGoThroughTheRightHandles) {
    Rig quitA, quitB;
    EXPECT_EQ(quitA.run((quitA.withNormal(), "qa")), "qaok\n");
    EXPECT_EQ(quitB.run((quitB.withNormal(), "qb")), "qbok\n");
    const Bytes second = padded({0x05, 0x04, 0x01, 0x20, 0x2A, 0x00}, 32);
    EXPECT_EQ(quitA.transport.normal->writes, (std::vector{padded({5, 4, 1, 0x41, 0x4B, 0}, 32), second}));
    EXPECT_EQ(quitB.transport.normal->writes, (std::vector{padded({5, 4, 1, 0x42, 0x4C, 0}, 32), second}));
    EXPECT_EQ(quitA.transport.opens, 2);
    EXPECT_EQ(quitB.pauses, std::vector<unsigned>{1000});
}

TEST(FrameCommands, QuitStillEndsWithItsWordWhenTheReopenFails) {
    Rig rig;
    auto normal = rig.withNormal();
    rig.transport.nextOpens = {hid::OpenStatus::Opened, hid::OpenStatus::Refused};
    EXPECT_EQ(rig.run("qa"), "!! second quit frame not sent: the normal-mode device could not be opened again\nqaok\n");
    EXPECT_EQ(normal->writes.size(), 1u);
    EXPECT_EQ(rig.err.text(), "refused: fix the permissions\n");
}

// The frame is the shared library's; convsim checks it, and a bad echo, in tests/emulator.
TEST(BLine, EchoAfterAStatusReportAndMalformedLines) {
    const std::string line =
        ":10123400"
        "0102030405060708090a0b0c0d0e0f10"
        "00\r\n";
    Rig rig;
    rig.withNormal()->onWrite = [](FakeDevice& d, const Bytes& frame) {
        d.replies.push_back({0x01, 0x01, 0x00});  // a status report first: skipped
        d.replies.push_back(frame);
        d.replies.back()[0] = 1;
    };
    EXPECT_TRUE(rig.run(line).ends_with(std::string(conv::kBLineSent) + "\n"));

    Rig retry;
    EXPECT_EQ(retry.run((retry.withNormal(),
                         ":10000000"
                         "0000"
                         "0102030405060708090a0b0c0d0e"
                         "00\r\n")),
              std::string(conv::kBLineRetry) + "\n");
    EXPECT_EQ(retry.run(line.substr(0, 43) + "\n"),
              std::string(conv::kBLineRetry) + "\nlen " + std::string(conv::kBLineFailed) + "\n");
    EXPECT_TRUE(retry.transport.normal->writes.empty());
}
