// The A and B transfers: arguments, progress, the final check and their failures.
#include <gtest/gtest.h>

#include "conv/packets.h"
#include "fakes.h"

using namespace quill;
using namespace quill::test;

namespace {
// Answers the n-th A-line argument (counted from 1) with `result`, the others as `device` does.
void failPacket(Device& device, int n, RunResult result) {
    device.respond = [&device, n, result, count = 0, normal = device.respond](const std::string& arg) mutable {
        return arg.size() == 130 && ++count == n ? result : normal(arg);
    };
}
}  // namespace

TEST(UpdateA, SendsSyncThenNumberedPacketsAndPassesTheFinalCheck) {
    Device rig;
    std::vector<int> progress;
    rig.respond = [&, normal = rig.respond](const std::string& arg) {
        progress.push_back(rig.state().STATUS_OF_PNG);
        return normal(arg);
    };
    rig.core->UPDATE_A();
    ASSERT_EQ(rig.words(), (Words{"sync", "A*4"}));  // 48 + 2 * 56: the last packet is empty
    EXPECT_EQ(rig.calls[0].second.count(), 5000);
    EXPECT_EQ(rig.calls[1].second.count(), 10000);
    std::vector<conv::LoaderReport> sent;
    for (int i = 1; i <= 4; ++i) sent.push_back(conv::parseALine(rig.calls[i].first).value());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(sent[i][5], 3 + 2 * i);
    EXPECT_EQ(std::tie(sent[0][1], sent[0][13], sent[0][17]), std::make_tuple(0xA0, 160, 1));
    EXPECT_EQ(sent[2][64], (159 * 3 + 1) & 0xFF);
    EXPECT_TRUE(std::all_of(sent[3].begin() + 9, sent[3].end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(rig.pausesUs.front(), "1000000");  // before sync
    EXPECT_TRUE(rig.alerts.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);
}

TEST(UpdateA, FirstPacketFailureGoesOnButOtherFailuresStopWithoutAlert) {
    Device first;
    failPacket(first, 1, {RunEnd::Exited, "uafail ckSum\n", ""});
    first.core->UPDATE_A();
    EXPECT_EQ(first.words(), (Words{"sync", "A*4"}));
    EXPECT_EQ(first.state().STATUS_OF_PNG, 19);

    const std::pair<int, RunResult> failures[] = {{2, {RunEnd::Exited, "uafail ckSum\n", ""}},
                                                  {1, {RunEnd::TimedOut, "", ""}},
                                                  {3, {RunEnd::TimedOut, "", ""}},
                                                  {4, {RunEnd::TimedOut, replyDump(imageSum(10)), ""}}};
    for (const auto& [n, result] : failures) {
        Device rig;
        failPacket(rig, n, result);
        rig.core->UPDATE_A();
        EXPECT_EQ(rig.words(), (Words{"sync", n == 1 ? "A" : "A*" + std::to_string(n)})) << n;
        EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
        EXPECT_TRUE(rig.alerts.empty());
    }
}

TEST(FinalCheck, OnlyReplyBytesEightAndNineOfAReplyDumpCount) {
    EXPECT_TRUE(finalChecksumMatches(replyDump(0x1a2b), "2B 1a"));
    EXPECT_TRUE(finalChecksumMatches("ckSum_r=00 00 00 00 *00 00 00 00 00 00\n" + replyDump(0x1a2b), "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches("ckSum_r=2b 1a 00 00 *00 00 00 00 00 00\n", "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches("2b 1a\n" + replyDump(0x1a2c), "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches(replyDump(0), "LB HB"));

    Device rig;
    rig.core->readBundlePath("/x/Q_V1_0xffff.app");
    rig.core->UPDATE_A();
    EXPECT_EQ(rig.alerts, Words{"Final CheckSum Error"});
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(UpdateB, SendsWholeLinesAndProgressStaysBelowComplete) {
    Device rig;
    std::vector<int> progress;
    rig.respond = [&](const std::string&) {
        progress.push_back(rig.state().STATUS_OF_PNG);
        return RunResult{RunEnd::Exited, "ubok\n", ""};
    };
    rig.core->UPDATE_B();
    ASSERT_EQ(rig.words(), Words{"B*5"});
    EXPECT_EQ(rig.calls[0].first, hexFile(1).substr(17, 45));
    EXPECT_EQ(rig.calls[0].second.count(), 10000);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LT(progress.front(), progress.back());
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);
}

TEST(UpdateB, RetryIsBoundedAndUbfailStops) {
    Device rig;
    int runs = 0;
    rig.respond = [&](const std::string& arg) {  // line 2 heals after two retries, line 3 never
        const bool retry = (arg.substr(3, 4) == "0010" && ++runs < 3) || arg.substr(3, 4) == "0020";
        return RunResult{RunEnd::Exited, retry ? "retry\n" : "ubok\n", ""};
    };
    rig.core->UPDATE_B();
    EXPECT_EQ(rig.words(), Words{"B*25"});  // 1 + 3 + (1 + 20)
    ASSERT_EQ(rig.alerts.size(), 1u);
    EXPECT_NE(rig.alerts[0].find("retry"), std::string::npos);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);

    Device failing;
    failing.respond = [](const std::string& arg) {
        return RunResult{RunEnd::Exited, arg.substr(3, 4) == "0010" ? "hid_read() ubfail\n" : "ubok\n", ""};
    };
    failing.core->UPDATE_B();
    EXPECT_EQ(failing.words(), Words{"B*2"});
    EXPECT_EQ(failing.state().STATUS_OF_PNG, -1);
}

TEST(UpdateB, MissingFileAlertsWithPathButLineFeedOnlyFileSendsNothing) {
    Device missing;
    std::filesystem::remove(missing.path("tmpb.hex"));
    missing.core->UPDATE_B();
    EXPECT_EQ(missing.alerts, Words{"fopen Bcode fail (" + missing.path("tmpb.hex") + ")"});
    EXPECT_EQ(missing.state().STATUS_OF_PNG, -1);

    Device lf;
    lf.write("tmpb.hex", hexFile(5, "\n"));
    lf.core->UPDATE_B();
    EXPECT_TRUE(lf.calls.empty() && lf.alerts.empty());
    EXPECT_EQ(lf.state().STATUS_OF_PNG, -2);
}
