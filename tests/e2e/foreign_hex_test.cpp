// Firmware files written by tools no one here wrote (binutils objcopy, srec_cat), gathered the way
// tavik and Quillmere gather them. The gatherer always drops a file's first line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include <unistd.h>

#include "conv/hexfile.h"
#include "conv/packets.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class ForeignHex : public testing::Test {
protected:
    void SetUp() override {
        dir_ = testing::TempDir() + "foreign_hex_" + std::to_string(::getpid()) + "_" +
               testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(std::system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Deterministic bytes written to a binary file.
    Bytes binary(const std::string& name, std::size_t size, std::uint32_t seed) {
        Bytes bytes(size);
        for (auto& b : bytes) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(seed >> 16);
        }
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), size);
        return bytes;
    }
    void tool(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    std::vector<std::string> lines(const std::string& name) {
        auto read = conv::readHexLines(path(name));
        EXPECT_TRUE(read.has_value()) << name;
        return read.value_or(std::vector<std::string>{});
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) { return Bytes(bytes.begin() + from, bytes.begin() + to); }

std::uint16_t sum16(const Bytes& bytes) { return static_cast<std::uint16_t>(std::accumulate(bytes.begin(), bytes.end(), 0u)); }

TEST_F(ForeignHex, ObjcopyAImageLosesItsFirstRecordAndEndsAtTheShortOne) {
    const Bytes bin = binary("a.bin", 16 * 40 + 12, 7);
    tool(std::string(QM_OBJCOPY) + " -I binary -O ihex '" + path("a.bin") + "' '" + path("a.hex") + "'");
    const conv::AImageResult a = conv::gatherAImage(lines("a.hex"));
    ASSERT_TRUE(a.ok()) << a.error->message();
    // objcopy starts with a data record, which the gatherer skips unseen.
    EXPECT_EQ(a.image.bytes, slice(bin, 16, bin.size()));
    EXPECT_EQ(a.image.checksum16(), sum16(slice(bin, 16, bin.size())));
}

TEST_F(ForeignHex, ObjcopyAImageStopsAtTheAddressRecordPast64KiB) {
    const Bytes bin = binary("big.bin", 0x10000 + 320, 11);
    tool(std::string(QM_OBJCOPY) + " -I binary -O ihex '" + path("big.bin") + "' '" + path("big.hex") + "'");
    const conv::AImageResult a = conv::gatherAImage(lines("big.hex"));
    ASSERT_TRUE(a.ok()) << a.error->message();
    EXPECT_EQ(a.image.bytes, slice(bin, 16, 0x10000));
}

TEST_F(ForeignHex, SrecCatAImageIsTheWholeBinaryInPackets) {
    // srec_cat opens with an address record and writes 32-byte records.
    const Bytes bin = binary("a.bin", 23456, 3);
    tool(std::string(QM_SREC_CAT) + " '" + path("a.bin") + "' -binary -o '" + path("a.hex") + "' -intel -crlf");
    const conv::AImageResult a = conv::gatherAImage(lines("a.hex"));
    ASSERT_TRUE(a.ok()) << a.error->message();
    EXPECT_EQ(a.image.bytes, bin);

    // The packets carry exactly these bytes: 48 in the first, 56 in each continuation.
    const auto packets = conv::buildAPackets(a.image);
    Bytes carried(packets.front().begin() + 1 + conv::loader::kFirstImage,
                  packets.front().begin() + 1 + conv::loader::kFirstImage + conv::loader::kFirstImageBytes);
    for (std::size_t k = 1; k < packets.size() && carried.size() < bin.size(); ++k) {
        const std::size_t n = std::min(conv::loader::kContinuationBytes, bin.size() - carried.size());
        carried.insert(carried.end(), packets[k].begin() + 1 + conv::loader::kData,
                       packets[k].begin() + 1 + conv::loader::kData + static_cast<std::ptrdiff_t>(n));
    }
    EXPECT_EQ(carried, bin);
}

TEST_F(ForeignHex, BLinesAreTheSixteenByteCrLfRecords) {
    const Bytes bin = binary("b.bin", 16 * 50 + 5, 5);
    tool(std::string(QM_OBJCOPY) + " -I binary -O ihex '" + path("b.bin") + "' '" + path("b1.hex") + "'");
    tool(std::string(QM_SREC_CAT) + " '" + path("b.bin") + "' -binary -o '" + path("b2.hex") + "' -intel -obs=16 -crlf");
    for (const char* name : {"b1.hex", "b2.hex"}) {
        SCOPED_TRACE(name);
        const conv::BLinesResult b = conv::gatherBLines(lines(name));
        ASSERT_TRUE(b.ok()) << b.error->message();
        // The 5-byte tail record is not a B line; every full one is, in file order.
        ASSERT_EQ(b.lines.size(), 50u);
        for (std::size_t i = 0; i < b.lines.size(); ++i) {
            const auto line = conv::parseBLine(b.lines[i]);
            ASSERT_TRUE(line.has_value()) << b.lines[i];
            EXPECT_EQ(line->address, 16 * i);
            EXPECT_EQ(Bytes(line->data.begin(), line->data.end()), slice(bin, 16 * i, 16 * i + 16));
        }
    }
}

TEST_F(ForeignHex, LineFeedOnlyFilesGiveNoBLines) {
    // srec_cat's default line end is LF: 44-character lines, none of them a B line.
    binary("b.bin", 16 * 8, 9);
    tool(std::string(QM_SREC_CAT) + " '" + path("b.bin") + "' -binary -o '" + path("b.hex") + "' -intel -obs=16");
    const conv::BLinesResult b = conv::gatherBLines(lines("b.hex"));
    EXPECT_TRUE(b.ok());
    EXPECT_TRUE(b.lines.empty());
}

TEST_F(ForeignHex, DamagedForeignRecordIsRefusedWithItsLine) {
    binary("a.bin", 16 * 10, 1);
    tool(std::string(QM_OBJCOPY) + " -I binary -O ihex '" + path("a.bin") + "' '" + path("a.hex") + "'");
    auto text = lines("a.hex");
    text[4][12] = text[4][12] == '0' ? '1' : '0';  // one data digit of line 5
    const conv::AImageResult a = conv::gatherAImage(text);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error->line, 5u);
}

}  // namespace
