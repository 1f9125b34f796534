// The command line: argument classes, the not-found texts, and the lines the front end reads; the
// one table of command words, which docs/glossary.md and tavik's manual page name exactly, so a word
// added, renamed or dropped in one place alone fails here; device commands as the converter sees
// them on the wire, and the lines they print.
#include <regex>
#include <set>

#include "conv/commands.h"
#include "conv/toolrun.h"
#include "core/commands.h"
#include "doc_names.h"
#include "fake_device.h"

using namespace tavik;
using namespace tavik::test;

TEST(Dispatcher, ArgumentClassesByLength) {
    const auto classOf = [](std::size_t length) {
        const std::string arg(length, '0');
        const std::string_view view = arg;
        return classify({&view, 1});
    };
    for (std::size_t n : {3u, 10u, 11u, 43u, 46u, 129u, 132u}) EXPECT_EQ(classOf(n), ArgumentClass::Unknown) << n;
    for (std::size_t n : {44u, 45u}) EXPECT_EQ(classOf(n), ArgumentClass::BLine) << n;
    for (std::size_t n : {130u, 131u}) EXPECT_EQ(classOf(n), ArgumentClass::ALine) << n;
    const std::vector<std::string_view> none, two{"sa", "sb"}, upper{"SA"}, monitor{"stbb"};
    EXPECT_EQ(classify(none), ArgumentClass::DeviceList);
    EXPECT_EQ(classify(two), ArgumentClass::DeviceList);
    EXPECT_EQ(classify(upper), ArgumentClass::Unknown);
    EXPECT_EQ(classify(monitor), ArgumentClass::CommandWord);
    EXPECT_EQ(Rig().run(std::string(132, '0')), "UNKNOW COMMAND\n");
}

TEST(Dispatcher, AbsentOrRefusedDevicePrintsTheSameNotFoundText) {
    for (auto status : {hid::OpenStatus::Absent, hid::OpenStatus::Refused}) {
        Rig rig;
        rig.transport.nextOpens = {status};
        EXPECT_EQ(rig.run("qb"), std::string(conv::kNormalNotFound) + "\n\n");
        EXPECT_EQ(rig.err.text(), status == hid::OpenStatus::Refused ? "refused: fix the permissions\n" : "");
    }
    EXPECT_EQ(Rig().run("ua"), "you are running 'ua'\n" + std::string(conv::kLoaderNotFound) + "\n");
    EXPECT_EQ(Rig().run("stbb"), std::string(conv::kNormalNotFoundLowerF) + "\n");
}

// The status line the front end reads to learn that the B lines are held and then burned.
TEST(Dispatcher, StatusPrintsTheReportBytesTheFrontEndReads) {
    Rig rig;
    rig.withNormal()->replies = {{0x01, 0x01, 0x02, 0x42, 0xD0, 0xC4}};
    EXPECT_EQ(rig.run("stb"),
              std::string(conv::kStatusBurned) + " " + std::string(conv::kStatusLinesHeld) + " 00 00 00 00 stbok\n");
}

// Spells the failure words out: it fails when the words the front end reads change.
TEST(Dispatcher, MalformedFirmwareTextIsRefusedBeforeAnyDeviceIsOpened) {
    Rig rig, rigB;
    EXPECT_EQ(rig.run(std::string(56, '0') + "g" + std::string(73, '0')),
              "uafail: A-line argument holds a non-hex character at position 57\n");
    EXPECT_EQ(rigB.run(":10000000" + std::string(11, '1') + "x" + std::string(20, '1') + "00\r\n"),
              "ubfail: B-line argument holds a non-hex character at position 21\n");
    EXPECT_EQ(rig.transport.opens + rigB.transport.opens, 0);
    // A 131st character is not part of the packet, whatever it is.
    EXPECT_EQ(Rig().run(std::string(130, 'A') + "z"), std::string(conv::kLoaderNotFound) + "\n");
}

TEST(Dispatcher, DeviceListWithTheLoaderStringsAndTheConvertersPorts) {
    Rig ports;
    ports.transport.listed = {{0x0416, 0xA316, "/dev/hidraw0", "SN 1\t", "1-1"},
                              {0x046d, 0xc52b, "/dev/hidraw1", "", "1-2"},
                              {0x0e7b, 0x0bf2, "", "", "3-1.4"}};
    // Only the converters, each with its port and serial number (one field); the unrelated device
    // is left out, nothing opened.
    EXPECT_EQ(ports.run("ports"),
              "CONVERTER 1-1 0416:a316 /dev/hidraw0 SN_1_\nCONVERTER 3-1.4 0e7b:0bf2 -\nEND OF LIST: 2 converters\n");
    EXPECT_EQ(ports.transport.opens, 0);

    Rig rig;
    rig.transport.listed = {{0x0416, 0xA316, "/dev/hidraw0", "SN1", "1-1"}, {0x046d, 0xc52b, "/dev/hidraw1", "", ""}};
    auto loader = rig.withLoader();
    loader->strings = {{hid::StringKind::Manufacturer, "Nuvo"}, {hid::StringKind::SerialNumber, "\u00DC42"}};
    EXPECT_EQ(rig.run(std::vector<std::string_view>{}),
              "(VIDPID)0416/a316 (PATH)/dev/hidraw0 (SN)SN1\n"
              "(VIDPID)046d/c52b (PATH)/dev/hidraw1 (SN)\n"
              "Manufacturer String: Nuvo\n"
              "Product String: Nuvo\n"  // a failed query keeps the text before it
              "Serial Number String: (220) \u00DC42\n"
              "Indexed String 1: \u00DC42\n"
              "\nYou can use 'stbb' to run Monitor ...\n");
}

TEST(Dispatcher, MonitorShowsForeignReportsAndStopsWhenTheDeviceIsGone) {
    Rig rig;
    auto normal = rig.withNormal();
    normal->replies = {{0x01, 0x01, 0x05}, {0x01, 0x03, 0xC4, 0x00, 0x11}};
    normal->gone = true;
    EXPECT_EQ(rig.run("stbb"),
              " (^Z to Stop)"
              "01 03 c4 00 11 00 00 00 00 00  ...(^Z to Stop)\n"
              "!! hid_read() failed: the device is gone (unplugged or re-enumerated), monitor stopped\n");
}

TEST(CommandWords, TheGlossaryAndTheManualPageNameExactlyTheTablesWords) {
    std::set<std::string> table;
    for (const conv::command::Word& w : conv::command::kWords) table.insert(std::string(w.word));
    EXPECT_EQ(docnames::inSection("docs/glossary.md", "## Command words", "\n## ", std::regex(R"(\n\| `([a-z]+)` \|)")),
              table);
    EXPECT_EQ(docnames::inSection("packaging/man/tavik.1", ".SH WORDS", ".SH", std::regex(R"(\.B ([a-z]+)\n)")), table);
}

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
TEST(FrameCommands, QuitFramesGoThroughTheRightHandlesAndEndWithTheirWord) {
    Rig quitA, quitB;
    EXPECT_EQ(quitA.run((quitA.withNormal(), "qa")), "qaok\n");
    EXPECT_EQ(quitB.run((quitB.withNormal(), "qb")), "qbok\n");
    const Bytes second = padded({0x05, 0x04, 0x01, 0x20, 0x2A, 0x00}, 32);
    EXPECT_EQ(quitA.transport.normal->writes, (std::vector{padded({5, 4, 1, 0x41, 0x4B, 0}, 32), second}));
    EXPECT_EQ(quitB.transport.normal->writes, (std::vector{padded({5, 4, 1, 0x42, 0x4C, 0}, 32), second}));
    EXPECT_EQ(quitA.transport.opens, 2);
    EXPECT_EQ(quitB.pauses, std::vector<unsigned>{1000});
    // The second frame needs the device opened again; quit still ends with its word without it.
    Rig rig;
    auto normal = rig.withNormal();
    rig.transport.nextOpens = {hid::OpenStatus::Opened, hid::OpenStatus::Refused};
    EXPECT_EQ(rig.run("qa"), "!! second quit frame not sent: the normal-mode device could not be opened again\nqaok\n");
    EXPECT_EQ(normal->writes.size(), 1u);
    EXPECT_EQ(rig.err.text(), "refused: fix the permissions\n");
}

// The frame is the shared library's; convsim checks it, and a bad echo, in tests/emulator.
TEST(BLine, EchoAfterAStatusReportAndMalformedLines) {
    const std::string line = ":101234000102030405060708090a0b0c0d0e0f1000\r\n";
    Rig rig;
    rig.withNormal()->onWrite = [](FakeDevice& d, const Bytes& frame) {
        d.replies.push_back({0x01, 0x01, 0x00});  // a status report first: skipped
        d.replies.push_back(frame);
        d.replies.back()[0] = 1;
    };
    EXPECT_TRUE(rig.run(line).ends_with(std::string(conv::kBLineSent) + "\n"));

    Rig retry;
    // Address low = address high = the first two data bytes: the retry rule.
    EXPECT_EQ(retry.run((retry.withNormal(), ":1000000000000102030405060708090a0b0c0d0e00\r\n")),
              std::string(conv::kBLineRetry) + "\n");
    EXPECT_EQ(retry.run(line.substr(0, 43) + "\n"),
              std::string(conv::kBLineRetry) + "\nlen " + std::string(conv::kBLineFailed) + "\n");
    EXPECT_TRUE(retry.transport.normal->writes.empty());
}
