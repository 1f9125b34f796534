// Reading HEX fields and gathering the A image and the B lines from Intel HEX text.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "conv/checksum.h"
#include "conv/hexfile.h"
#include "hex_text.h"
#include "row_name.h"

using namespace conv;

namespace {
// One Intel HEX record ended by CR LF.
std::string record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data) {
    return hextext::record(type, address, data) + "\r\n";
}
std::vector<std::uint8_t> run(std::size_t n, std::uint8_t start) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(start + i);
    return v;
}
const std::string kHeader = ":020000040000FA\r\n";
const std::string kEof = ":00000001FF\r\n";

TEST(HexLines, SplitWholeKeepingLineEndsAndReadOnlyFromRegularFiles) {
    EXPECT_EQ(splitHexLines("ab\r\ncd\nlast"), (std::vector<std::string>{"ab\r\n", "cd\n", "last"}));
    EXPECT_EQ(splitHexLines(std::string(1500, 'x') + "\n").front().size(), 1501u);
    EXPECT_EQ(readFirmwareFile("/nonexistent/file.hex").status, FileBytes::Status::Missing);
    const std::string fifo = testing::TempDir() + "hexfile_fifo_" + std::to_string(::getpid());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, testing::TempDir()}) {  // refused at once, never waited on
        const FileBytes read = readFirmwareFile(path);
        EXPECT_EQ(read.status, FileBytes::Status::Refused) << path;
        EXPECT_NE(read.why.find(" is not a regular file (a "), std::string::npos) << read.why;
    }
    ::unlink(fifo.c_str());
}

TEST(GatherAImage, TakesContiguousRecordsUpToTheFirstShortOne) {
    // Any data record length is taken; the short one ends the image; the end record and what
    // follows it without data are not looked at.
    const std::string text =
        kHeader + record(0, 0, run(16, 0)) + record(0, 0x10, run(20, 16)) + record(0, 0x24, run(16, 36));
    auto result = gatherAImage(splitHexLines(text + record(0, 0x34, run(4, 52)) + kEof + "\r\n"));
    ASSERT_TRUE(result.ok()) << result.error->message();
    EXPECT_EQ(result.image.bytes, run(56, 0));
    EXPECT_EQ(result.image.total, 56u);
    EXPECT_EQ(result.image.checksum16(), checkSum(run(56, 0)) & 0xFFFF);
    // A start address record first sets no base; LF line ends, empty lines and no last line feed do.
    EXPECT_TRUE(gatherAImage({record(5, 0, {0, 0, 1, 0}), record(0, 0, run(48, 0)), kEof}).ok());
    std::string lf = hextext::file(48, "\n");
    lf.insert(lf.find(":10001000"), "\n");
    lf.pop_back();
    EXPECT_TRUE(gatherAImage(splitHexLines(lf)).ok());
}

// A file the gatherer must refuse: at which line (0: the file as a whole), saying what.
struct Refusal : rowname::Row {
    std::vector<std::string> lines;
    std::size_t line;
    const char* says;
};
template <typename Result>
void expectRefused(const Refusal& c, const Result& result) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error->line, c.line) << result.error->message();
    EXPECT_NE(result.error->message().find(c.says), std::string::npos) << result.error->message();
}

// Every way a file can fail to land exactly where it says, each refused with its line.
std::vector<Refusal> aRefusals() {
    const std::string a0 = record(0, 0, run(16, 0)), a1 = record(0, 0x10, run(16, 16)),
                      a2 = record(0, 0x20, run(16, 32));
    std::string badSum = a1;
    badSum[12] = badSum[12] == '0' ? '1' : '0';  // a data digit changed: checksum no longer fits
    std::string nonHex = a1;
    nonHex[20] = 'g';
    // clang-format off
    return {
        {"data on line 1 would be skipped", {a0, a1, a2, kEof}, 1, "line 1: a data record on the first line"},
        {"a hole in the addresses", {kHeader, a0, a2, record(0, 0x30, run(16, 48)), kEof}, 3,
         "line 3: record for address 0x0020 where the image goes on at 0x0010"},
        {"records out of order", {kHeader, a1, a0, a2, kEof}, 2, "address 0x0010 where the image goes on at 0x0000"},
        {"a base address above 0", {record(2, 0, {0x10, 0x00}), a0, a1, a2, kEof}, 2, "address 0x10000"},
        {"16 bytes that are no data record", {kHeader, a0, record(4, 0x10, run(16, 16)), a2, kEof}, 3,
         "type 0x04 holds 16 bytes, its type holds 2"},
        {"an end record with a byte", {kHeader, a0, a1, a2, record(1, 0, {0})}, 5, "type 0x01 holds 1 bytes"},
        {"an unknown record type", {kHeader, a0, a1, a2, record(7, 0, {0, 0})}, 5, "0x07 is not an Intel HEX record type"},
        {"data after the end record", {kHeader, a0, a1, a2, kEof, record(0, 0x30, run(16, 1))}, 6,
         "follows the end-of-file record on line 5; nothing may"},
        {"a record after the end record", {kHeader, a0, a1, a2, kEof, "\r\n", kHeader}, 7, "follows the end-of-file record"},
        {"cut off after a whole record", {kHeader, a0, a1, a2}, 5, "line 5: the file ends without its end-of-file record (cut off?)"},
        {"a record that lost its colon", {kHeader, a0, a1, a2.substr(1), kEof}, 4, "record does not start with ':'"},
        {"an indented record", {kHeader, a0, " " + a1, a2, kEof}, 3, "record does not start with ':'"},
        {"a byte-order mark", {"\xEF\xBB\xBF" + kHeader, a0, a1, a2, kEof}, 1, "record does not start with ':'"},
        {"a comment on line 1", {"; made by hand\r\n", a0, a1, a2, kEof}, 1, "line 1: record does not start with ':'"},
        {"a record padded with 2000 blanks", {kHeader, a0, a1.substr(0, 43) + std::string(2000, ' ') + "\r\n", a2, kEof}, 3,
         "line of 2043 characters; no record is longer than 521"},
        {"junk before a record on one line", {kHeader, a0, std::string(1023, 'x') + a1, a2, kEof}, 3, "line of 1066 characters"},
        {"longer than the length field", splitHexLines(hextext::file(0x10000)), 4097,
         "record takes the A image to 65536 bytes; the loader's 16-bit length field carries at most 65535"},
        {"data after an address record", {kHeader, a0, a1, a2, record(4, 0, {0, 1}), record(0, 0, run(16, 1))}, 6,
         "after the image, which ends at line 4,"},
        {"data after the short record", {kHeader, a0, a1, a2, record(0, 0x30, run(4, 0)), record(0, 0x34, run(16, 0))}, 6,
         "would never be sent"},
        {"wrong record checksum", {kHeader, a0, badSum, a2, kEof}, 3, "line 3: checksum 0x"},
        {"not a digit", {kHeader, a0, nonHex, a2, kEof}, 3, "not a hexadecimal digit"},
        {"a record cut short", {kHeader, a0.substr(0, 30) + "\r\n", kEof}, 2, "characters"},
        {"a line of blanks", {kHeader, a0, "  \r\n", a1, a2, kEof}, 3, "line 3: record does not start with ':'"},
        {"a damaged address record", {kHeader.substr(0, 14) + "B\r\n", a0, a1, a2, kEof}, 1, "line 1: checksum"},
        {"shorter than the first packet", {kHeader, a0, a1, record(0, 0x20, run(15, 0)), kEof}, 0, "holds 47 bytes"},
        {"an empty file", {}, 1, "line 1: the file ends without its end-of-file record"},
        {"no data", {kHeader, kEof}, 0, "holds 0 bytes"},
    };
    // clang-format on
}

class GatherAImageRefuses : public testing::TestWithParam<Refusal> {};
TEST_P(GatherAImageRefuses, WhatCannotBeSentExactly) { expectRefused(GetParam(), gatherAImage(GetParam().lines)); }
INSTANTIATE_TEST_SUITE_P(, GatherAImageRefuses, testing::ValuesIn(aRefusals()), rowname::ByName{});

TEST(GatherBLines, TakesTheExactSixteenByteCrLfRecords) {
    const std::string line0 = record(0, 0, run(16, 0)), line1 = record(0, 0x10, run(16, 5));
    // A line sent twice with the same bytes is harmless.
    auto result = gatherBLines({kHeader, line0, line1, line0, kEof});
    ASSERT_TRUE(result.ok()) << result.error->message();
    EXPECT_EQ(result.lines, (std::vector<std::string>{line0, line1, line0}));
}

std::vector<Refusal> bRefusals() {
    const std::string good = record(0, 0, run(16, 0));
    std::string badSum = record(0, 0x40, run(16, 0));
    badSum[41] = badSum[41] == 'F' ? 'E' : 'F';
    std::string lfOnly = record(0, 0x10, run(16, 0));
    lfOnly.erase(lfOnly.size() - 2, 1);
    std::string padded = record(0, 0x10, run(8, 0));  // an 8-byte record blank-padded to 45 characters
    padded.insert(padded.size() - 2, std::string(kBLineLength - padded.size(), ' '));
    // clang-format off
    return {
        {"wrong record checksum", {kHeader, good, badSum}, 3, "line 3: checksum"},
        {"blank-padded short record", {kHeader, good, padded}, 3, "not a hexadecimal digit"},
        {"a line feed alone", {kHeader, good, lfOnly}, 3, "data record of 44 characters; B lines are 16-byte data records ending in CR LF"},
        {"a short data record", {kHeader, good, record(0, 0x10, run(8, 0))}, 3, "data record of 29 characters"},
        {"16 bytes of another type", {kHeader, record(5, 0, run(16, 0))}, 2, "type 0x05"},
        {"a retry line", {kHeader, good, record(0, 0x1010, {0x10, 0x10, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13})}, 3,
         "all 0x10: the tool answers \"retry\""},
        {"a base above 64 KiB", {record(4, 0, {0, 1}), good}, 1, "base 0x10000; B lines carry 16-bit addresses"},
        {"a byte given twice", {kHeader, good, record(0, 0x08, run(16, 1))}, 3, "gives address 0x0008 another value than line 2"},
        {"no B line", {kHeader, kEof}, 0, "no B line in the file; B lines are 16-byte data records ending in CR LF"},
        {"cut off after a whole line", {kHeader, good, record(0, 0x10, run(16, 0))}, 4,
         "the file ends without its end-of-file record (cut off?)"},
        {"a line after the end record", {kHeader, good, kEof, record(0, 0x10, run(16, 0))}, 4,
         "follows the end-of-file record on line 3; nothing may"},
        {"an indented line", {kHeader, good, " " + record(0, 0x10, run(16, 0)), kEof}, 3, "record does not start with ':'"},
        {"a line that lost its colon", {kHeader, good, record(0, 0x10, run(16, 0)).substr(1), kEof}, 3, "does not start with ':'"},
        {"junk", {kHeader, good, "junk\r\n", kEof}, 3, "record does not start with ':'"},
        {"a byte-order mark", {"\xEF\xBB\xBF" + kHeader, good, kEof}, 1, "record does not start with ':'"},
        {"junk before a line", {kHeader, std::string(1023, 'x') + good, kEof}, 2, "line of 1066 characters; no record"},
    };
    // clang-format on
}

class GatherBLinesRefuses : public testing::TestWithParam<Refusal> {};
TEST_P(GatherBLinesRefuses, WhatWouldBeLostOrSentWrong) { expectRefused(GetParam(), gatherBLines(GetParam().lines)); }
INSTANTIATE_TEST_SUITE_P(, GatherBLinesRefuses, testing::ValuesIn(bRefusals()), rowname::ByName{});

}  // namespace
