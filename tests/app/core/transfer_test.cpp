// The A and B transfers: arguments, run limits, progress, the final check and their failures.
// Packet layouts are the shared library's (tests/shared); whole updates end in tests/e2e.
#include <gtest/gtest.h>

#include "conv/toolrun.h"
#include "fakes.h"
#include "row_name.h"

using namespace quill;
using namespace quill::test;

// Packet contents and progress are followed in tests/e2e; here the run limits of sync and packets.
TEST(UpdateA, SyncAndPacketRunLimits) {
    FakeTavik rig;
    rig.core->UPDATE_A();
    ASSERT_EQ(rig.words(), (Words{"sync", "A*4"}));  // 48 + 2 * 56: the last packet is empty
    EXPECT_EQ(rig.calls[0].second.count(), 5000);
    EXPECT_EQ(rig.calls[1].second.count(), 10000);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);
}

namespace {
struct PacketFailure : rowname::Row {
    int packet;
    RunResult result;
    Words words;
    int status;
    std::string cause;
};
// The first packet's answer is not judged; any later refusal or killed run stops without an
// alert, its cause naming the packet: a device gone wins over the marker word.
std::vector<PacketFailure> packetFailures() {
    const std::string gone = "!! hid_read() failed: " + std::string(conv::kDeviceGone) + ", no reply can come\n";
    const std::string writeFailed(conv::kWriteFailedStart), refused = std::string(conv::kALineFailed) + " ckSum\n";
    const std::string writeRefused = "\nWRITE65() " + std::string(conv::kALineFailed) + "\n";
    // clang-format off
    return {
        {"first refused, not judged", 1, {RunEnd::Exited, refused, "", ""}, {"sync", "A*4"}, 19, ""},
        {"first killed", 1, {RunEnd::TimedOut, "", "", ""}, {"sync", "A"}, -1, "A packet 1 of 4 got no answer in time"},
        {"second refused", 2, {RunEnd::Exited, "uafail ckSum\n", "", ""}, {"sync", "A*2"}, -1,
         "A packet 2 of 4 was not acknowledged (uafail ckSum)"},
        {"gone before the marker", 2, {RunEnd::Exited, gone + refused, "", ""}, {"sync", "A*2"}, -1,
         "the converter was unplugged during A packet 2 of 4"},
        {"third killed", 3, {RunEnd::TimedOut, "", "", ""}, {"sync", "A*3"}, -1, "A packet 3 of 4 got no answer in time"},
        {"write timed out", 3, {RunEnd::Exited, writeFailed + std::string(conv::kWriteTimedOut) + writeRefused, "", ""},
         {"sync", "A*3"}, -1, "the write of A packet 3 of 4 timed out"},
        {"write stalled", 2, {RunEnd::Exited, writeFailed + std::string(conv::kWriteStalled) + writeRefused, "", ""},
         {"sync", "A*2"}, -1, "the converter stalled the write of A packet 2 of 4"},
        {"last killed after its reply", 4, {RunEnd::TimedOut, replyDump(imageSum(10)), "", ""}, {"sync", "A*4"}, -1,
         "A packet 4 of 4 got no answer in time"},
        {"last gone", 4, {RunEnd::Exited, gone, "", ""}, {"sync", "A*4"}, -1, "the converter was unplugged during A packet 4 of 4"},
    };
    // clang-format on
}
}  // namespace

class APacketFailure : public testing::TestWithParam<PacketFailure> {};
TEST_P(APacketFailure, OnlyTheFirstPacketMayFail) {
    const PacketFailure& c = GetParam();
    FakeTavik rig;
    rig.respond = [n = c.packet, result = c.result, count = 0, normal = rig.respond](const std::string& arg) mutable {
        return arg.size() == 130 && ++count == n ? result : normal(arg);
    };
    rig.core->UPDATE_A();
    EXPECT_EQ(rig.words(), c.words);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, c.status);
    EXPECT_EQ(rig.core->cause(), c.cause);
    EXPECT_TRUE(rig.alerts.empty());
}
INSTANTIATE_TEST_SUITE_P(, APacketFailure, testing::ValuesIn(packetFailures()), rowname::ByName{});

// The alert of a wrong total is followed through the sequence.
TEST(FinalCheck, OnlyReplyBytesEightAndNineOfAReplyDumpCount) {
    EXPECT_TRUE(finalChecksumMatches(replyDump(0x1a2b), "2B 1a"));
    EXPECT_TRUE(finalChecksumMatches("ckSum_r=00 00 00 00 *00 00 00 00 00 00\n" + replyDump(0x1a2b), "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches("ckSum_r=2b 1a 00 00 *00 00 00 00 00 00\n", "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches("2b 1a\n" + replyDump(0x1a2c), "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches(replyDump(0), "LB HB"));
}

// A "ubfail" that stops the lines is followed through the sequence.
TEST(UpdateB, RetryIsBounded) {
    FakeTavik rig;
    int runs = 0;
    rig.respond = [&](const std::string& arg) {  // line 2 heals after two retries, line 3 never
        const bool retry = (arg.substr(3, 4) == "0010" && ++runs < 3) || arg.substr(3, 4) == "0020";
        return RunResult{RunEnd::Exited, said(retry ? conv::kBLineRetry : conv::kBLineSent), "", ""};
    };
    rig.core->UPDATE_B();
    EXPECT_EQ(rig.words(), Words{"B*25"});  // 1 + 3 + (1 + 20)
    ASSERT_EQ(rig.alerts.size(), 1u);
    EXPECT_NE(rig.alerts[0].find(conv::kBLineRetry), std::string::npos);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(UpdateB, ALineCountsOnlyWhenItsEchoMatched) {
    // tavik's words spelled out: this fails when the words tavik prints change.
    const std::string gone =
        "!! hid_read() failed: " + std::string(conv::kDeviceGone) + ", no echo can come\nhid_read() ubfail\n";
    for (const std::string answer : {"cks_w=1234\n", "0E7B/1CF? NOT FOUND\n", "ubfail\n", gone.c_str()}) {
        SCOPED_TRACE(answer);
        FakeTavik rig;
        rig.respond = [&](const std::string&) { return RunResult{RunEnd::Exited, answer, "", ""}; };
        rig.core->UPDATE_B();
        EXPECT_EQ(rig.words(), Words{"B"});  // the rest is not sent
        EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
        EXPECT_EQ(rig.core->cause(),
                  answer == gone ? "the converter was unplugged during B line 1 of 5" : "B line 1 of 5 was not echoed");
    }
}

TEST(UpdateB, MissingOrLineFeedOnlyFileAlertsWithPathAndSendsNothing) {
    FakeTavik missing;
    std::filesystem::remove(missing.path("tmpb.hex"));
    missing.core->UPDATE_B();
    EXPECT_EQ(missing.alerts, Words{"fopen Bcode fail (" + missing.path("tmpb.hex") + ")"});
    EXPECT_EQ(missing.state().STATUS_OF_PNG, -1);

    FakeTavik lf;
    lf.write("tmpb.hex", hexFile(5, "\n"));
    lf.core->UPDATE_B();
    EXPECT_TRUE(lf.calls.empty());
    ASSERT_EQ(lf.alerts.size(), 1u);
    EXPECT_NE(lf.alerts[0].find("CR LF"), std::string::npos) << lf.alerts[0];
    EXPECT_EQ(lf.state().STATUS_OF_PNG, -1);
}
