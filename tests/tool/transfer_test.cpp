// A and B firmware transfers against a scripted converter: whole files and one packet per run.
// Good transfers and a refused packet against convsim, with the flash compared to the files, are
// in tests/emulator.
#include <unistd.h>

#include <fstream>

#include "conv/toolrun.h"
#include "fake_device.h"
#include "hex_text.h"

using namespace tavik;
using namespace tavik::test;

namespace {

struct TempFile {
    std::string path =
        testing::TempDir() + "tavik_" + std::to_string(getpid()) + "_" + std::to_string(++count) + ".hex";
    explicit TempFile(const std::string& content) { std::ofstream(path, std::ios::binary) << content; }
    ~TempFile() { std::remove(path.c_str()); }
    static inline int count = 0;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

// What the gatherer refuses is tabled in tests/shared; here that tavik names it and never opens the
// device. A short B record blank-padded to the length of a B line once sent stale buffer bytes.
TEST(WholeFile, ARefusedFileIsNamedAndTheDeviceIsNeverOpened) {
    std::string holed = hextext::file(64), padded = hextext::file(24);
    holed.erase(holed.find(":10001000"), holed.find(":10002000") - holed.find(":10001000"));
    padded.insert(padded.rfind("\r\n:00000001ff"), std::string(16, ' '));
    const TempFile a(holed), b(padded);
    const std::pair<const char*, std::string> refusals[] = {
        {"ua", "!! tarna.hex refused, nothing sent: line 3: record for address 0x0020"},
        {"ub", "!! tarn_b.hex refused, nothing sent: line 3: character 28 is not a hexadecimal digit"}};
    for (const auto& [word, says] : refusals) {
        Rig rig(a.path, b.path);
        rig.withLoader(), rig.withNormal();
        const std::string out = rig.run(word);
        EXPECT_NE(out.find(says), std::string::npos) << out;
        EXPECT_TRUE(out.ends_with("\n" + std::string(word[1] == 'a' ? conv::kALineFailed : conv::kBLineFailed) + "\n"))
            << out;
        EXPECT_EQ(rig.transport.opens, 0) << word;
    }
    Rig missing(testing::TempDir() + "no_such.hex");
    EXPECT_EQ(missing.run((missing.withLoader(), "ua")), "you are running 'ua'\nfopen() Acode fail\n");
}

TEST(OnePacketA, FailsAfterTenWrongRepliesOrWhenNoFurtherReplyComes) {
    const std::string arg = "00" + std::string(128, 'f');
    Rig ten, once, refused;
    ten.withLoader()->replies.assign(10, loaderReply(1, 4));
    const std::string out = ten.run(arg);
    const std::string failed = std::string(conv::kALineFailed) + " ckSum\n";
    EXPECT_EQ(count(out, std::string(conv::kChecksumDump)), 10u);
    EXPECT_TRUE(out.ends_with(" ...(more readback)\n" + failed));

    once.withLoader()->replies.push_back(loaderReply(1, 4));
    EXPECT_TRUE(once.run(arg).ends_with("ckSum_r: no further reply within 1000 ms\n" + failed));
    EXPECT_EQ(once.transport.loader->readTimeouts, (std::vector<int>{hid::kBlocking, 1000}));

    // A write that fails says why, in the words the front end looks for, before the marker.
    refused.withLoader()->failWrites = 1;
    refused.transport.loader->failsAs = hid::WriteFailure::TimedOut;
    EXPECT_TRUE(refused.run(arg).ends_with(std::string(conv::kWriteFailedStart) + std::string(conv::kWriteTimedOut) +
                                           "\nWRITE65() " + std::string(conv::kALineFailed) + "\n"));
}

TEST(OnePacketA, AReportWithoutTheChecksumBytesProvesNothing) {
    // An all-zero packet sums to 0, as the cleared reply buffer does.
    const std::string zeros(130, '0');
    Rig rig;
    rig.withLoader()->replies = {Bytes{}, Bytes{0x00}};
    const std::string out = rig.run(zeros);
    EXPECT_EQ(count(out, "holds no checksum"), 2u) << out;
    EXPECT_TRUE(out.ends_with("no further reply within 1000 ms\n" + std::string(conv::kALineFailed) + " ckSum\n"));

    // Cut after its checksum or padded behind it, a reply still answers for the packet.
    Rig cut;
    cut.withLoader()->replies = {Bytes{0x00, 0x00, 0x00, 0x00}};
    EXPECT_TRUE(cut.run(zeros).ends_with("uaok\n"));
}

TEST(OneLineB, AnEchoCutBeforeItsChecksumIsAFailure) {
    // Zero data bytes: an echo cut after its address would sum like the whole echo.
    const std::string line = ":10123400" + std::string(32, '0') + "aa\r\n";
    for (std::size_t size : {5u, 20u, 21u, 64u}) {
        Rig rig;
        rig.withNormal()->onWrite = [size](FakeDevice& d, const Bytes& frame) {
            Bytes echo = frame;
            echo[0] = 1;
            echo.resize(size, 0);
            d.replies.push_back(echo);
        };
        const std::string out = rig.run(line);
        const std::string failed =
            "echo of " + std::to_string(size) + " bytes is cut short\n" + std::string(conv::kBLineFailed);
        EXPECT_TRUE(out.ends_with((size < 21 ? failed : std::string(conv::kBLineSent)) + "\n")) << size << ": " << out;
    }
}

// Status reports come every 8 ms in update mode and queue from the open on; those queued before a
// line's write cannot be its echo and use up none of the ten reads after it, nor do those queued
// while a write came late (up to one a millisecond of it), held up in the write or just after the
// look that found the queue empty. Each row: reports queued before each write, how late the write
// came, where, reports between the write and its echo, whether the echo is read.
TEST(BTransfer, ReportsQueuedBeforeTheWriteUseUpNoneOfTheTenReads) {
    enum class Held { InWrite, AfterLook };
    struct Row {
        int before, lateMs;
        Held held;
        int after;
        bool echoed;
    };
    using enum Held;
    const Bytes status = padded({0x01, 0x01, 0x02, 0x42, 0xB0, 0xF6, 0x00}, 32);
    TempFile file(hextext::file(32));
    for (const Row row : {Row{10, 0, InWrite, 0, true}, Row{63, 0, InWrite, 9, true}, Row{0, 0, InWrite, 10, false},
                          Row{0, 90, InWrite, 40, true}, Row{0, 90, AfterLook, 40, true}, Row{0, 5, InWrite, 14, true},
                          Row{0, 5, InWrite, 15, false}}) {
        const std::string name = std::to_string(row.before) + " before, " + std::to_string(row.lateMs) + " ms late " +
                                 (row.held == InWrite ? "in the write, " : "after the look, ") +
                                 std::to_string(row.after) + " after";
        Rig one, whole({}, file.path);
        for (Rig* rig : {&one, &whole}) {
            auto device = rig->withNormal();
            device->replies.assign(row.before, status);
            // The echo, then what comes before the next write.
            const auto late = [&row, rig](Held at) {
                if (row.held == at) rig->clock += std::chrono::milliseconds(row.lateMs);
            };
            device->onEmptyRead = [late] { late(AfterLook); };
            device->onWrite = [&row, late, &status](FakeDevice& d, const Bytes& frame) {
                late(InWrite);
                d.replies.insert(d.replies.end(), row.after, status);
                d.replies.push_back(padded({1}, 32));
                std::copy(frame.begin() + 1, frame.end(), d.replies.back().begin() + 1);
                d.replies.insert(d.replies.end(), row.before, status);
            };
        }
        const std::string out = one.run(":10123400" + std::string(32, '0') + "aa\r\n");
        EXPECT_EQ(out.ends_with(std::string(conv::kBLineSent) + "\n"), row.echoed) << name << ": " << out;
        // A late echo is dropped with the reports queued before the next line's write.
        EXPECT_EQ(count(whole.run("ub"), "### hid_read("), row.echoed ? 2u : 0u) << name;
        for (Rig* rig : {&one, &whole}) {
            const auto& waits = rig->transport.normal->readTimeouts;
            const auto tries = static_cast<int>(std::count(waits.begin(), waits.end(), hid::kBlocking));
            const int perLine = row.echoed ? std::max(0, row.after + 1 - row.lateMs) : 10;
            EXPECT_EQ(tries, perLine * static_cast<int>(rig->transport.normal->writes.size())) << name;
        }
    }
}
