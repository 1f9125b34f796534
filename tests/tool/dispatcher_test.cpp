// The command line: argument classes, the not-found texts, and the lines the front end reads.
#include "conv/toolrun.h"
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
    Rig rig;
    std::string aLine(130, '0');
    aLine[56] = 'g';
    EXPECT_EQ(rig.run(aLine), "uafail: A-line argument holds a non-hex character at position 57\n");
    std::string bLine = ":10000000" + std::string(32, '1') + "00\r\n";
    bLine[20] = 'x';
    Rig rigB;
    EXPECT_EQ(rigB.run(bLine), "ubfail: B-line argument holds a non-hex character at position 21\n");
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
    loader->strings = {{hid::StringKind::Manufacturer, "Nuvo"},
                       {hid::StringKind::SerialNumber,
                        "\xC3\x9C"
                        "42"}};
    EXPECT_EQ(rig.run(std::vector<std::string_view>{}),
              "(VIDPID)0416/a316 (PATH)/dev/hidraw0 (SN)SN1\n"
              "(VIDPID)046d/c52b (PATH)/dev/hidraw1 (SN)\n"
              "Manufacturer String: Nuvo\n"
              "Product String: Nuvo\n"  // a failed query keeps the text before it
              "Serial Number String: (220) \xC3\x9C"
              "42\n"
              "Indexed String 1: \xC3\x9C"
              "42\n"
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
