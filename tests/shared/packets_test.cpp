// Byte layouts of loader packets, A-line arguments and device frames.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "conv/packets.h"
#include "hex_text.h"

using namespace conv;

TEST(LoaderPackets, SyncAndStatusLayouts) {
    const LoaderReport sync = makeSyncPacket();
    LoaderReport expected{0, 0xA4, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(sync, expected);
    EXPECT_EQ(packetChecksum(sync), 0xA6u);
    LoaderReport status = makeLoaderCommand(loader::kCmdStatus);
    EXPECT_EQ(status[1], 0xA6);
    EXPECT_EQ(checkSum(status.data() + 2, 63), 0u);
}

TEST(LoaderPackets, AImageSplitsIntoNumberedPackets) {
    const AImage image = hextext::image(48 + 56 * 3 + 10);
    auto packets = buildAPackets(image);
    ASSERT_EQ(packets.size(), 5u);
    const LoaderReport& first = packets[0];
    EXPECT_EQ((std::vector<int>{first[0], first[1], first[5], first[13] | (first[14] << 8)}),
              (std::vector<int>{0, 0xA0, 3, 48 + 56 * 3 + 10}));
    EXPECT_TRUE(std::equal(image.bytes.begin(), image.bytes.begin() + 48, first.begin() + 17));
    for (std::size_t k = 1; k < packets.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(packets[k][1], 0);
        EXPECT_EQ(packets[k][5] | (packets[k][6] << 8), 3 + 2 * k);
    }
    EXPECT_EQ(packets[1][9], image.bytes[48]);
    const LoaderReport& last = packets.back();
    EXPECT_TRUE(std::equal(image.bytes.end() - 10, image.bytes.end(), last.begin() + 9));
    EXPECT_TRUE(std::all_of(last.begin() + 19, last.end(), [](auto b) { return b == 0; }));
}

TEST(LoaderPackets, ExactMultipleEndsWithAnEmptyLastPacketAndTotalKeepsLow16Bits) {
    auto packets = buildAPackets(hextext::image(48 + 56 * 2));
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_TRUE(std::all_of(packets.back().begin() + 9, packets.back().end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(buildAPackets(hextext::image(48)).size(), 2u);
    auto big = hextext::image(48 + 56 * 1200);  // 67248 bytes
    EXPECT_EQ(buildAPackets(big)[0][13] | (buildAPackets(big)[0][14] << 8), 67248 & 0xFFFF);
    EXPECT_TRUE(buildAPackets(hextext::image(47)).empty());
}

TEST(ALine, FormatsLowerCaseAndParsesEitherCase) {
    const LoaderReport packet = buildAPackets(hextext::image(200))[0];
    const std::string text = formatALine(packet);
    ASSERT_EQ(text.size(), 130u);
    EXPECT_EQ(text.substr(0, 18), "00a000000003000000");
    EXPECT_EQ(text.find_first_of("ABCDEF"), std::string::npos);
    EXPECT_EQ(parseALine(text), packet);
    std::string upper = text;
    for (auto& c : upper) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(parseALine(upper + "Z"), packet);  // a 131st character is ignored
    EXPECT_FALSE(parseALine(text.substr(0, 129)).has_value());
    std::string bad = text;
    bad[77] = 'x';
    EXPECT_FALSE(parseALine(bad).has_value());
}

TEST(DeviceFrames, ModeStartAndQuitFrames) {
    FrameReport mode{};
    putFrame(mode, frame::kKindMode, modeCode());
    EXPECT_EQ(std::string(mode.begin(), mode.begin() + 11), "\x05\x01\x08" + std::string(modeCode()));
    EXPECT_EQ(mode[11] | (mode[12] << 8), checkSum(mode.data(), 11) & 0xFFFF);
    EXPECT_TRUE(frameChecksumOk(mode.data(), mode.size()));
    FrameReport start = mode;  // "sa" builds start A over the mode frame: its tail stays
    putFrame(start, frame::kKindStartBurn, {frame::kStartA});
    const std::vector<std::uint8_t> head{5, 3, 1, 0x41, 0x4A, 0};
    EXPECT_TRUE(std::equal(head.begin(), head.end(), start.begin()));
    EXPECT_TRUE(std::equal(start.begin() + 6, start.begin() + 13, mode.begin() + 6));
    FrameReport quit{};
    putFrame(quit, frame::kKindQuit, {frame::kQuitSecond});
    EXPECT_EQ(quit[4], 0x2A);
    quit[4] ^= 1;
    EXPECT_FALSE(frameChecksumOk(quit.data(), quit.size()));
}

TEST(BLineFrames, AddressLowFirstRetryRuleAndEchoSum) {
    const std::string line = ":10A1B2000102030405060708090A0B0C0D0E0F10XX\r\n";
    auto parsed = parseBLine(line);
    ASSERT_TRUE(parsed.has_value());
    FrameReport f = makeBLineFrame(*parsed);
    EXPECT_EQ((std::vector<int>{f[2], f[3], f[4], f[5], f[20]}), (std::vector<int>{0x12, 0xB2, 0xA1, 0x01, 0x10}));
    EXPECT_EQ(f[21] | (f[22] << 8), checkSum(f.data(), 21));
    EXPECT_FALSE(isRetryFrame(f));
    FrameReport echo = f;
    echo[0] = 1;
    EXPECT_TRUE(isBLineEcho(echo.data(), echo.size()));
    EXPECT_EQ(echoChecksum(echo.data()), checkSum(f.data(), 21));
    EXPECT_TRUE(isRetryFrame(makeBLineFrame(*parseBLine(":1010100010101112131415161718191A1B1C1D1E1F00\r\n"))));
    EXPECT_TRUE(isRetryFrame(makeBLineFrame(*parseBLine(":100000000000AABBCCDDEEFF0011223344556677XX\r\n"))));
    EXPECT_FALSE(parseBLine(":10A1B2000102030405060708090A0B0C0D0E0Q10XX\r\n").has_value());
}
