// Reading HEX fields and gathering the A image and the B lines from Intel HEX text.
#include <gtest/gtest.h>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/hexfile.h"

using namespace conv;

namespace {
// One Intel HEX record with a correct checksum, ended by CR LF.
std::string record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> raw{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                  static_cast<std::uint8_t>(address & 0xFF), type};
    raw.insert(raw.end(), data.begin(), data.end());
    std::string text = ":";
    std::uint8_t sum = 0;
    for (auto b : raw) { text += hexByte(b); sum = static_cast<std::uint8_t>(sum + b); }
    return text + hexByte(static_cast<std::uint8_t>(0x100 - sum)) + "\r\n";
}
std::vector<std::uint8_t> run(std::size_t n, std::uint8_t start) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(start + i);
    return v;
}
const std::string kHeader = ":020000040000FA\r\n";
const std::string kEof = ":00000001FF\r\n";
}  // namespace

TEST(Checksum, IsAPlainSum) {
    EXPECT_EQ(checkSum(nullptr, 0), 0u);
    EXPECT_EQ(checkSum(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0x126u);
    std::vector<std::uint8_t> ff(64, 0xFF);
    EXPECT_EQ(checkSum(ff), 0x3FC0u);
    EXPECT_EQ(checkSum(ff.data(), -5), 0u);
}

TEST(HexStringToDec, ConvertsLikeStrtoulOverTheFirstNCharacters) {
    EXPECT_EQ(HexStringToDec("1f", 2), 0x1Fu);
    EXPECT_EQ(HexStringToDec("1234", 2), 0x12u);
    EXPECT_EQ(HexStringToDec(" 0x1F", 5), 0x1Fu);
    EXPECT_EQ(HexStringToDec("zz", 2), 0u);
    EXPECT_EQ(HexStringToDec("1", 2), 1u);
    EXPECT_EQ(HexStringToDec("1234567890abcdef12", 20), 0x1234567890abcdeUL);
}

TEST(HexLines, SplitLikeAFixedBufferKeepingLineEnds) {
    auto lines = splitHexLines("ab\r\ncd\nlast");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "ab\r\n");
    EXPECT_EQ(lines[2], "last");
    auto longLine = splitHexLines(std::string(1500, 'x') + "\n");
    ASSERT_EQ(longLine.size(), 2u);
    EXPECT_EQ(longLine[0].size(), 1023u);
    EXPECT_FALSE(readHexLines("/nonexistent/file.hex").has_value());
}

TEST(GatherAImage, FollowsTheTakingRules) {
    // First line dropped even when it is data; a 16-byte record of another type is data;
    // a 20-byte record is taken whole; a short record ends the image.
    std::vector<std::string> lines{record(0, 0, run(16, 0xF0)), record(0, 0, run(16, 0)), record(5, 0x10, run(16, 16)),
                                   record(0, 0x20, run(20, 32)), record(0, 0x34, run(4, 52)),
                                   record(0, 0x38, run(16, 99)), kEof};
    auto result = gatherAImage(splitHexLines([&] { std::string s; for (auto& l : lines) s += l; return s; }()));
    ASSERT_TRUE(result.ok()) << result.error->message();
    EXPECT_EQ(result.image.bytes, run(56, 0));
    EXPECT_EQ(result.image.total, 56u);
    EXPECT_EQ(result.image.checksum16(), checkSum(run(56, 0)) & 0xFFFF);
}

TEST(GatherAImage, StopsAtTheEndRecordAndOtherShortNonDataRecords) {
    auto atEof = gatherAImage({kHeader, record(0, 0, run(16, 0)), record(0, 16, run(16, 16)), record(0, 32, run(16, 32)),
                               kEof, record(0, 48, run(16, 1))});
    ASSERT_TRUE(atEof.ok());
    EXPECT_EQ(atEof.image.bytes.size(), 48u);
    auto atAddress = gatherAImage({kHeader, record(0, 0, run(16, 0)), record(0, 16, run(16, 16)),
                                   record(0, 32, run(16, 32)), record(4, 0, {0, 1}), record(0, 48, run(16, 1))});
    ASSERT_TRUE(atAddress.ok());
    EXPECT_EQ(atAddress.image.bytes.size(), 48u);
}

TEST(GatherAImageRefuses, DamagedRecordsNamingTheLine) {
    std::string bad = record(0, 16, run(16, 16));
    bad[12] = bad[12] == '0' ? '1' : '0';  // a data digit changed: checksum no longer fits
    auto wrongSum = gatherAImage({kHeader, record(0, 0, run(16, 0)), bad, kEof});
    ASSERT_FALSE(wrongSum.ok());
    EXPECT_EQ(wrongSum.error->line, 3u);
    EXPECT_NE(wrongSum.error->message().find("line 3: checksum 0x"), std::string::npos);

    std::string nonHex = record(0, 16, run(16, 16));
    nonHex[20] = 'g';
    auto garbage = gatherAImage({kHeader, record(0, 0, run(16, 0)), nonHex, kEof});
    ASSERT_FALSE(garbage.ok());
    EXPECT_NE(garbage.error->message().find("not a hexadecimal digit"), std::string::npos);

    std::string cut = record(0, 0, run(16, 0)).substr(0, 30) + "\r\n";
    EXPECT_FALSE(gatherAImage({kHeader, cut, kEof}).ok());
    // A blank line would silently truncate the image: refused as well.
    EXPECT_FALSE(gatherAImage({kHeader, record(0, 0, run(16, 0)), "\r\n", record(0, 16, run(16, 16))}).ok());
}

TEST(GatherAImageRefuses, ImagesShorterThanTheFirstPacket) {
    auto small = gatherAImage({kHeader, record(0, 0, run(16, 0)), record(0, 16, run(16, 0)), record(0, 32, run(15, 0)), kEof});
    ASSERT_FALSE(small.ok());
    EXPECT_NE(small.error->message().find("47 bytes"), std::string::npos);
    EXPECT_FALSE(gatherAImage({}).ok());
}

TEST(GatherBLines, TakesExactly45CharacterLinesAndChecksThem) {
    std::string lfOnly = record(0, 0x20, run(16, 0));
    lfOnly.erase(lfOnly.size() - 2, 1);  // 44 characters: skipped like any other length
    auto result = gatherBLines({kHeader, record(0, 0, run(16, 0)), record(0, 0x10, run(8, 0)), lfOnly,
                                record(0, 0x30, run(16, 5)), kEof});
    ASSERT_TRUE(result.ok());
    ASSERT_EQ(result.lines.size(), 2u);
    EXPECT_EQ(result.lines[1], record(0, 0x30, run(16, 5)));

    std::string bad = record(0, 0x40, run(16, 0));
    bad[41] = bad[41] == 'F' ? 'E' : 'F';
    auto refused = gatherBLines({kHeader, record(0, 0, run(16, 0)), bad});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error->line, 3u);
}
