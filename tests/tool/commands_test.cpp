// Device commands as the converter sees them on the wire, and the lines they print.
#include "conv/packets.h"
#include "core/commands.h"
#include "fake_device.h"

using namespace tavik;
using namespace tavik::test;

namespace {
Bytes zeros(std::size_t n) { return Bytes(n, 0); }
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace

TEST(LoaderCommands, SyncPacketAndItsPrintedExchange) {
    Rig rig;
    rig.withLoader()->replies.push_back(loaderReply(0xA6, 2));
    EXPECT_EQ(rig.run("sync"),
              "\n### sizeof(DWORD) = 4 , SEND 0xa4(SYNC CMD) ###\n\n"
              "writeN in CmdWriteAndReadOne() = 65 (00 a4 00 00 00 01 00 00 00 01  ...\n"
              "in CmdWriteAndReadOne(), readN  = 64 (a6 00 00 00 02 00 00 00 00 00 ...bufR[63,64]=00 00\n"
              "############## After sync-cmd : buf[4:5] should be 02 00 ############ \n\n");
    EXPECT_EQ(rig.transport.loader->writes.at(0),
              concat({0x00, 0xA4, 0, 0, 0, 1, 0, 0, 0, 1}, zeros(55)));
    EXPECT_EQ(rig.session->g_packno, 2u);
}

TEST(LoaderCommands, StatusWriteFailurePrintsOnlyTheHeader) {
    Rig rig;
    rig.withLoader()->failWrites = 1;
    EXPECT_EQ(rig.run("sta"), "### sizeof(DWORD) = 4 , SEND 0xa6(statusA CMD) ###\n\n");
}

TEST(LoaderCommands, RunApRomNumbersItsPacketAfterTheStatusReply) {
    Rig rig;
    auto loader = rig.withLoader();
    loader->replies.push_back(loaderReply(0xA6, 7));
    const std::string out = rig.run("runaprom");
    EXPECT_NE(out.find("in RunApRom(): USB Side tell me packNo = 0007\n"), std::string::npos);
    EXPECT_TRUE(out.ends_with("\nYou can use 'sb' 'qa' 'qb' to exit upg-mode.\nrunapromok\n"));
    ASSERT_EQ(loader->writes.size(), 2u);
    EXPECT_EQ(loader->writes[0], concat({0x00, 0xA6}, zeros(63)));
    EXPECT_EQ(loader->writes[1], concat({0x00, 0xAB, 0, 0, 0, 8}, zeros(59)));
}

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
    EXPECT_TRUE(rig.out.text().ends_with(
        "(hid_read() ret:-1)\n!! hid_read() failed: the device is gone (unplugged or re-enumerated), "
        "stopped waiting for the packet number\n"));
}

TEST(FrameCommands, StartFrameCarriesTheModeFrameTail) {
    Rig rig;
    auto normal = rig.withNormal();
    EXPECT_EQ(rig.run("sa"), "saok\n");
    ASSERT_EQ(normal->writes.size(), 2u);
    Bytes mode = {0x05, 0x01, 0x08};
    for (char c : conv::modeCode()) mode.push_back(static_cast<std::uint8_t>(c));
    unsigned sum = 0;
    for (auto b : mode) sum += b;
    mode.push_back(sum & 0xFF);
    mode.push_back(sum >> 8);
    EXPECT_EQ(normal->writes[0], concat(mode, zeros(19)));
    Bytes start = {0x05, 0x03, 0x01, 0x41, 0x4A, 0x00};
    start.insert(start.end(), mode.begin() + 6, mode.end());
    EXPECT_EQ(normal->writes[1], concat(start, zeros(19)));
    EXPECT_EQ(rig.pauses, std::vector<unsigned>{1000});
}

TEST(FrameCommands, BurnAndQuitFramesGoThroughTheRightHandles) {
    Rig rig;
    auto normal = rig.withNormal();
    EXPECT_EQ(rig.run("bb"), "");
    EXPECT_EQ(normal->writes.at(0), concat({0x05, 0x03, 0x01, 0x42, 0x4B, 0x00}, zeros(26)));

    Rig quitA;
    auto a = quitA.withNormal();
    EXPECT_EQ(quitA.run("qa"), "qaok\n");
    EXPECT_EQ(quitA.transport.opens, 2);
    ASSERT_EQ(a->writes.size(), 2u);
    EXPECT_EQ(a->writes[0], concat({0x05, 0x04, 0x01, 0x41, 0x4B, 0x00}, zeros(26)));
    EXPECT_EQ(a->writes[1], concat({0x05, 0x04, 0x01, 0x20, 0x2A, 0x00}, zeros(26)));

    Rig quitB;
    auto b = quitB.withNormal();
    EXPECT_EQ(quitB.run("qb"), "qbok\n");
    EXPECT_EQ(b->writes.at(0), concat({0x05, 0x04, 0x01, 0x42, 0x4C, 0x00}, zeros(26)));
    EXPECT_EQ(quitB.pauses, std::vector<unsigned>{1000});
}

TEST(FrameCommands, QuitStillEndsWithItsWordWhenTheReopenFails) {
    Rig rig;
    auto normal = rig.withNormal();
    rig.transport.nextOpens = {hid::OpenStatus::Opened, hid::OpenStatus::Refused};
    EXPECT_EQ(rig.run("qa"),
              "!! second quit frame not sent: the normal-mode device could not be opened again\nqaok\n");
    EXPECT_EQ(normal->writes.size(), 1u);
    EXPECT_EQ(rig.err.text(), "refused: fix the permissions\n");
}

TEST(BLine, FrameEchoAndEveryAnswer) {
    const std::string line = ":10123400" "0102030405060708090a0b0c0d0e0f10" "00\r\n";
    Rig rig;
    auto normal = rig.withNormal();
    normal->onWrite = [](FakeDevice& d, const Bytes& frame) {
        Bytes echo = frame;
        echo[0] = 1;
        d.replies.push_back(Bytes{0x01, 0x01, 0x00});  // a status report first, skipped
        d.replies.push_back(echo);
    };
    const std::string out = rig.run(line);
    Bytes frame = {0x05, 0x02, 0x12, 0x34, 0x12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned sum = 0;
    for (auto b : frame) sum += b;
    frame.push_back(sum & 0xFF);
    frame.push_back(sum >> 8);
    EXPECT_EQ(normal->writes.at(0), concat(frame, zeros(9)));
    char expected[64];
    std::snprintf(expected, sizeof expected, "cks_w=%04x\ncks_r=%04x\nubok\n", sum, sum);
    EXPECT_EQ(out, expected);

    normal->onWrite = [](FakeDevice& d, const Bytes& frame) {
        Bytes echo = frame;
        echo[0] = 1;
        echo[10] ^= 0xFF;
        d.replies.push_back(echo);
    };
    Rig bad;
    bad.transport.normal = normal;
    EXPECT_TRUE(bad.run(line).ends_with("ubfail\n"));

    Rig silent;
    silent.withNormal()->replies.assign(10, Bytes{0x01, 0x01, 0x00});
    EXPECT_EQ(silent.run(line).find("ub"), std::string::npos);  // ten other reports: no marker

    Rig retry;
    auto untouched = retry.withNormal();
    EXPECT_EQ(retry.run(":10000000" "0000" "0102030405060708090a0b0c0d0e" "00\r\n"), "retry\n");
    EXPECT_TRUE(untouched->writes.empty());
    EXPECT_EQ(retry.run(line.substr(0, 43) + "\n"), "retry\nlen ubfail\n");
}
