// Firmware files written by tools no one here wrote (binutils objcopy, srec_cat), gathered the way
// tavik and Quillmere gather them: taken whole when every byte can land where the file says,
// refused otherwise.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
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

TEST_F(ForeignHex, ObjcopyAImageIsTakenWholeOnlyBehindAnAddressRecord) {
    const Bytes bin = binary("a.bin", 16 * 40 + 12, 7);
    tool(std::string(QM_OBJCOPY) + " -I binary -O ihex '" + path("a.bin") + "' '" + path("a.hex") + "'");
    // objcopy starts with a data record, which would never be sent.
    const conv::AImageResult plain = conv::gatherAImage(lines("a.hex"));
    ASSERT_FALSE(plain.ok());
    EXPECT_EQ(plain.error->line, 1u);
    // The release recipe: an address record first.
    tool("{ printf ':020000040000FA\\r\\n'; cat '" + path("a.hex") + "'; } > '" + path("a2.hex") + "'");
    const conv::AImageResult a = conv::gatherAImage(lines("a2.hex"));
    ASSERT_TRUE(a.ok()) << a.error->message();
    EXPECT_EQ(a.image.bytes, bin);

    // Past 64 KiB the records go on behind an address record, where reading stops: refused.
    binary("big.bin", 0x10000 + 320, 11);
    tool(std::string(QM_OBJCOPY) + " -I binary -O ihex '" + path("big.bin") + "' '" + path("big0.hex") + "'");
    tool("{ printf ':020000040000FA\\r\\n'; cat '" + path("big0.hex") + "'; } > '" + path("big.hex") + "'");
    const conv::AImageResult big = conv::gatherAImage(lines("big.hex"));
    ASSERT_FALSE(big.ok());
    EXPECT_NE(big.error->message().find("would never be sent"), std::string::npos) << big.error->message();
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
    const Bytes bin = binary("b.bin", 16 * 50, 5);
    tool(std::string(QM_SREC_CAT) + " '" + path("b.bin") + "' -binary -o '" + path("b.hex") + "' -intel -obs=16 -crlf");
    const conv::BLinesResult b = conv::gatherBLines(lines("b.hex"));
    ASSERT_TRUE(b.ok()) << b.error->message();
    ASSERT_EQ(b.lines.size(), 50u);
    for (std::size_t i = 0; i < b.lines.size(); ++i) {
        const auto line = conv::parseBLine(b.lines[i]);
        ASSERT_TRUE(line.has_value()) << b.lines[i];
        EXPECT_EQ(line->address, 16 * i);
        EXPECT_EQ(Bytes(line->data.begin(), line->data.end()), slice(bin, 16 * i, 16 * i + 16));
    }
}

TEST_F(ForeignHex, BFilesThatWouldLoseBytesAreRefused) {
    // A tail record shorter than 16 bytes, and srec_cat's default LF line ends.
    binary("tail.bin", 16 * 8 + 5, 9);
    tool(std::string(QM_SREC_CAT) + " '" + path("tail.bin") + "' -binary -o '" + path("tail.hex") + "' -intel -obs=16 -crlf");
    tool(std::string(QM_SREC_CAT) + " '" + path("tail.bin") + "' -binary -o '" + path("lf.hex") + "' -intel -obs=16");
    for (const auto& [name, says] : {std::pair{"tail.hex", "line 10: data record of 23 characters"},
                                     std::pair{"lf.hex", "line 2: data record of 44 characters"}}) {
        const conv::BLinesResult b = conv::gatherBLines(lines(name));
        ASSERT_FALSE(b.ok()) << name;
        EXPECT_EQ(b.error->message().rfind(says, 0), 0u) << b.error->message();
        EXPECT_NE(b.error->message().find("CR LF"), std::string::npos);
    }
}

TEST_F(ForeignHex, DamagedForeignRecordIsRefusedWithItsLine) {
    binary("a.bin", 16 * 10, 1);
    tool(std::string(QM_SREC_CAT) + " '" + path("a.bin") + "' -binary -o '" + path("a.hex") + "' -intel -obs=16 -crlf");
    auto text = lines("a.hex");
    text[4][12] = text[4][12] == '0' ? '1' : '0';  // one data digit of line 5
    const conv::AImageResult a = conv::gatherAImage(text);
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error->line, 5u);
}

}  // namespace
