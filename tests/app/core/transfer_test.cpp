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
    EXPECT_TRUE(rig.core->UPDATE_A().ok());
    ASSERT_EQ(rig.words(), (Words{"sync", "A*4"}));  // 48 + 2 * 56: the last packet is empty
    EXPECT_EQ(rig.calls[0].second.count(), 5000);
    EXPECT_EQ(rig.calls[1].second.count(), 10000);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);
}

namespace {
struct PacketFailure : rowname::Row {
    int packet;  // the transfer stops after it: sync and this many packets were sent
    RunResult result;
    std::string cause;
};
// A packet counts only when tavik ran to its end and printed the loader's acknowledgement (the last
// packet: the total in the loader's reply); any other run stops without an alert, its cause naming
// the packet: a device gone or not found wins over the marker word.
std::vector<PacketFailure> packetFailures() {
    const std::string gone = "!! hid_read() failed: " + std::string(conv::kDeviceGone) + ", no reply can come\n";
    const std::string writeFailed(conv::kWriteFailedStart), refused = std::string(conv::kALineFailed) + " ckSum\n";
    const std::string writeRefused = "\nWRITE65() " + std::string(conv::kALineFailed) + "\n";
    const RunResult killed{RunEnd::TimedOut, "", "", ""};
    // clang-format off
    return {
        {"first refused", 1, exited(refused), "A packet 1 of 4 was not acknowledged (uafail ckSum)"},
        {"second printed nothing", 2, exited(""), "A packet 2 of 4 was not acknowledged (no acknowledgement)"},
        {"second crashed after its acknowledgement", 2, {RunEnd::Crashed, replyDump(1), "SIGSEGV", ""},
         "tavik ended by SIGSEGV during A packet 2 of 4"},
        {"third found no loader", 3, exited(said(conv::kLoaderNotFound)), "the converter was unplugged during A packet 3 of 4"},
        {"first killed", 1, killed, "A packet 1 of 4 got no answer in time"},
        {"second refused", 2, exited("uafail ckSum\n"), "A packet 2 of 4 was not acknowledged (uafail ckSum)"},
        {"gone before the marker", 2, exited(gone + refused), "the converter was unplugged during A packet 2 of 4"},
        {"third killed", 3, killed, "A packet 3 of 4 got no answer in time"},
        {"write timed out", 3, exited(writeFailed + std::string(conv::kWriteTimedOut) + writeRefused),
         "the write of A packet 3 of 4 timed out"},
        {"write stalled", 2, exited(writeFailed + std::string(conv::kWriteStalled) + writeRefused),
         "the converter stalled the write of A packet 2 of 4"},
        {"last killed after its reply", 4, {RunEnd::TimedOut, replyDump(imageSum(10)), "", ""}, "A packet 4 of 4 got no answer in time"},
        {"last gone", 4, exited(gone), "the converter was unplugged during A packet 4 of 4"},
        {"last exited with a failure status", 4, {RunEnd::Crashed, replyDump(imageSum(10)), "exit status 1", ""},
         "tavik ended with exit status 1 during A packet 4 of 4"},
    };
    // clang-format on
}
}  // namespace

class APacketFailure : public testing::TestWithParam<PacketFailure> {};
TEST_P(APacketFailure, StopsTheTransferAtThatPacket) {
    const PacketFailure& c = GetParam();
    FakeTavik rig;
    rig.respond = [n = c.packet, result = c.result, count = 0, normal = rig.respond](const std::string& arg) mutable {
        return arg.size() == 130 && ++count == n ? result : normal(arg);
    };
    const Step result = rig.core->UPDATE_A();
    EXPECT_EQ(rig.words(), (Words{"sync", c.packet == 1 ? "A" : "A*" + std::to_string(c.packet)}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
    EXPECT_EQ(result.cause(), c.cause);
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
        return exited(said(retry ? conv::kBLineRetry : conv::kBLineSent));
    };
    EXPECT_FALSE(rig.core->UPDATE_B().ok());
    EXPECT_EQ(rig.words(), Words{"B*25"});  // 1 + 3 + (1 + 20)
    ASSERT_EQ(rig.alerts.size(), 1u);
    EXPECT_NE(rig.alerts[0].find(conv::kBLineRetry), std::string::npos);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(UpdateB, ALineCountsOnlyWhenItsEchoMatched) {
    // tavik's words spelled out: this fails when the words tavik prints change.
    const std::string gone =
        "!! hid_read() failed: " + std::string(conv::kDeviceGone) + ", no echo can come\nhid_read() ubfail\n";
    const std::string unplugged = "the converter was unplugged during B line 1 of 5";
    const std::pair<RunResult, std::string> answers[] = {
        {exited("cks_w=1234\n"), "B line 1 of 5 was not echoed"},
        {exited("ubfail\n"), "B line 1 of 5 was not echoed"},
        {exited("0E7B/1CF? NOT FOUND\n"), unplugged},
        {exited(gone), unplugged},
        {{RunEnd::Crashed, "ubok\n", "SIGABRT", ""}, "tavik ended by SIGABRT during B line 1 of 5"},
    };
    for (const auto& [answer, cause] : answers) {
        SCOPED_TRACE(answer.output);
        FakeTavik rig;
        rig.respond = [&answer = answer](const std::string&) { return answer; };
        EXPECT_EQ(rig.core->UPDATE_B().cause(), cause);
        EXPECT_EQ(rig.words(), Words{"B"});  // the rest is not sent
        EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
    }
}

// Each run of a transfer names the run that follows it, so a runner may have that one ready.
TEST(NextRunHint, EveryTransferRunNamesItsSuccessorAndTheLastNone) {
    for (const char which : {'A', 'B'}) {
        SCOPED_TRACE(which);
        FakeTavik rig;
        which == 'A' ? rig.core->UPDATE_A() : rig.core->UPDATE_B();
        EXPECT_EQ(rig.calls.size(), 5u);  // sync + 4 packets (48 + 2 * 56 bytes, empty last); 5 lines
        for (std::size_t i = 0; i + 1 < rig.calls.size(); ++i) EXPECT_EQ(rig.hints[i], rig.calls[i + 1].first) << i;
        EXPECT_EQ(rig.hints.empty() ? "no run" : rig.hints.back(), "");
    }
}

TEST(NextRunHint, AResentBLineNamesTheLineAfterIt) {
    FakeTavik rig;
    int sends = 0;
    rig.respond = [&](const std::string&) { return exited(said(++sends == 2 ? conv::kBLineRetry : conv::kBLineSent)); };
    EXPECT_TRUE(rig.core->UPDATE_B().ok());
    ASSERT_EQ(rig.calls.size(), 6u);
    EXPECT_EQ(rig.calls[1].first, rig.calls[2].first) << "line 2 is sent again";
    EXPECT_EQ(rig.hints[1], rig.calls[3].first);
    EXPECT_EQ(rig.hints[2], rig.calls[3].first);
}
