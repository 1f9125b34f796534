// The A and B transfers: arguments, progress, the final check and their failures.
#include <gtest/gtest.h>

#include "conv/packets.h"
#include "fakes.h"

using namespace quill;
using namespace quill::test;
using std::chrono::milliseconds;

namespace {
constexpr int kALines = 10;  // 160 bytes = 48 + 2 * 56: ends with an empty last packet

bool isFirstPacket(const std::string& arg) { return arg.size() == 130 && arg.substr(2, 2) == "a0"; }

struct ATransfer : Rig {
    ATransfer() {
        write("tmpa.hex", hexFile(kALines));
        core->readBundlePath("/x/Quillmere_V1_0x" + hex16(imageSum(kALines)) + ".app");
        runner.respond = [](const std::string& arg) {
            return RunResult{RunEnd::Exited, arg == "sync" ? "" : replyDump(imageSum(kALines)), ""};
        };
    }
    static std::string hex16(unsigned v) { char t[8]; std::snprintf(t, sizeof t, "%04x", v); return t; }
};
}  // namespace

TEST(UpdateA, SendsSyncThenNumberedPacketsAndPassesTheFinalCheck) {
    ATransfer rig;
    std::vector<int> progress;
    rig.runner.respond = [&, reply = rig.runner.respond](const std::string& arg) {
        progress.push_back(rig.state().STATUS_OF_PNG);
        return reply(arg);
    };
    rig.core->UPDATE_A();
    EXPECT_EQ(rig.runner.words(), (std::vector<std::string>{"sync", "A*4"}));
    EXPECT_EQ(rig.runner.calls[0].limit, milliseconds(5000));
    EXPECT_EQ(rig.runner.calls[1].limit, milliseconds(10000));
    std::vector<conv::LoaderReport> sent;
    for (std::size_t i = 1; i < rig.runner.calls.size(); ++i) {
        const auto report = conv::parseALine(rig.runner.calls[i].argument);
        ASSERT_TRUE(report);
        sent.push_back(*report);
        EXPECT_EQ((*report)[5], 3 + 2 * (i - 1));
    }
    EXPECT_EQ(sent[0][1], 0xA0);
    EXPECT_EQ(sent[0][13], kALines * 16);
    EXPECT_EQ(sent[0][17], 1);                // image byte 0
    EXPECT_EQ(sent[2][64], (159 * 3 + 1) & 0xFF);  // the last image byte closes the last full packet
    EXPECT_TRUE(std::all_of(sent[3].begin() + 9, sent[3].end(), [](auto b) { return b == 0; }));
    EXPECT_EQ(rig.clock.pausesUs.front(), 1'000'000);  // before sync
    EXPECT_TRUE(rig.alerts.texts.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);
}

TEST(UpdateA, FirstPacketFailureDoesNotStopTheTransferButAFullPacketFailureDoes) {
    ATransfer rig;
    auto reply = rig.runner.respond;
    rig.runner.respond = [&](const std::string& arg) {
        return isFirstPacket(arg) ? RunResult{RunEnd::Exited, "uafail ckSum\n", ""} : reply(arg);
    };
    rig.core->UPDATE_A();
    EXPECT_EQ(rig.runner.words(), (std::vector<std::string>{"sync", "A*4"}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);

    ATransfer second;
    int packets = 0;
    second.runner.respond = [&](const std::string& arg) {
        return RunResult{RunEnd::Exited, arg != "sync" && ++packets == 2 ? "uafail ckSum\n" : "", ""};
    };
    second.core->UPDATE_A();
    EXPECT_EQ(second.runner.words(), (std::vector<std::string>{"sync", "A*2"}));
    EXPECT_EQ(second.state().STATUS_OF_PNG, -1);
    EXPECT_TRUE(second.alerts.texts.empty());
}

TEST(UpdateA, TimedOutPacketFailsTheTransfer) {
    ATransfer rig;
    rig.runner.respond = [](const std::string& arg) {
        return RunResult{arg.size() == 130 ? RunEnd::TimedOut : RunEnd::Exited, "", ""};
    };
    rig.core->UPDATE_A();
    EXPECT_EQ(rig.runner.words(), (std::vector<std::string>{"sync", "A"}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(FinalCheck, OnlyReplyBytesEightAndNineOfAReplyDumpCount) {
    EXPECT_TRUE(finalChecksumMatches(replyDump(0x1a2b), "2b 1a"));
    EXPECT_TRUE(finalChecksumMatches(replyDump(0x1a2b), "2B 1A"));
    EXPECT_TRUE(finalChecksumMatches("ckSum_r=00 00 00 00 *00 00 00 00 00 00 ...\n" + replyDump(0x1a2b), "2b 1a"));
    // The right bytes elsewhere in the output are no proof.
    EXPECT_FALSE(finalChecksumMatches("ckSum_r=2b 1a 00 00 *00 00 00 00 00 00\n", "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches("FINAL 2b 1a\n" + replyDump(0x1a2c), "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches("2b 1a", "2b 1a"));
    EXPECT_FALSE(finalChecksumMatches(replyDump(0), "LB HB"));
}

TEST(UpdateA, ChecksumMismatchAlertsAndFails) {
    ATransfer rig;
    rig.core->readBundlePath("/x/Quillmere_V1_0xffff.app");
    rig.core->UPDATE_A();
    EXPECT_EQ(rig.alerts.texts, (std::vector<std::string>{"Final CheckSum Error"}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(UpdateA, MissingCorruptOrShortFileIsRefusedBeforeAnyRun) {
    struct FileCase { std::string content; std::string alertStart; };
    std::string corrupt = hexFile(kALines);
    corrupt[corrupt.find(":10001000") + 12] = 'G';
    const FileCase cases[] = {
        {"", "fopen Acode fail ("},
        {corrupt, "Acode file refused ("},
        {hexFile(2), "Acode file refused ("},
    };
    for (const auto& c : cases) {
        ATransfer rig;
        if (c.content.empty()) std::filesystem::remove(rig.dir / "tmpa.hex"); else rig.write("tmpa.hex", c.content);
        rig.core->UPDATE_A();
        SCOPED_TRACE(c.alertStart);
        EXPECT_TRUE(rig.runner.calls.empty());
        ASSERT_EQ(rig.alerts.texts.size(), 1u);
        EXPECT_EQ(rig.alerts.texts[0].rfind(c.alertStart + (rig.dir / "tmpa.hex").string(), 0), 0u);
        EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
    }
}

TEST(UpdateB, SendsEveryLineWithItsLineEndAndProgressStaysBelowComplete) {
    Rig rig;
    rig.write("tmpb.hex", hexFile(5));
    std::vector<int> progress;
    rig.runner.respond = [&](const std::string&) {
        progress.push_back(rig.state().STATUS_OF_PNG);
        return RunResult{RunEnd::Exited, "ubok\n", ""};
    };
    rig.core->UPDATE_B();
    ASSERT_EQ(rig.runner.words(), (std::vector<std::string>{"B*5"}));
    EXPECT_EQ(rig.runner.calls[0].argument, record(16, 0, 0, {1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43, 46}) + "\r\n");
    EXPECT_EQ(rig.runner.calls[0].limit, milliseconds(10000));
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_LT(progress.front(), progress.back());
    EXPECT_EQ(progress.back(), 19);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 19);
}

TEST(UpdateB, RetryIsBoundedAndUbfailStops) {
    Rig rig;
    rig.write("tmpb.hex", hexFile(5));
    int runs = 0;
    rig.runner.respond = [&](const std::string& arg) {
        ++runs;
        if (arg.substr(3, 4) == "0010" && runs < 4) return RunResult{RunEnd::Exited, "retry\n", ""};  // heals
        return RunResult{RunEnd::Exited, arg.substr(3, 4) == "0020" ? "retry\n" : "ubok\n", ""};
    };
    rig.core->UPDATE_B();
    EXPECT_EQ(rig.runner.words(), (std::vector<std::string>{"B*25"}));  // 1 + 3 + (1 + 20)
    ASSERT_EQ(rig.alerts.texts.size(), 1u);
    EXPECT_NE(rig.alerts.texts[0].find("retry"), std::string::npos);
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);

    Rig second;
    second.write("tmpb.hex", hexFile(5));
    second.runner.respond = [&](const std::string& arg) {
        return RunResult{RunEnd::Exited, arg.substr(3, 4) == "0010" ? "hid_read() ubfail\n" : "ubok\n", ""};
    };
    second.core->UPDATE_B();
    EXPECT_EQ(second.runner.words(), (std::vector<std::string>{"B*2"}));
    EXPECT_EQ(second.state().STATUS_OF_PNG, -1);
}

TEST(UpdateB, MissingFileAlertsWithPathButLineFeedOnlyFileSendsNothing) {
    Rig rig;
    rig.core->UPDATE_B();
    EXPECT_EQ(rig.alerts.texts, (std::vector<std::string>{"fopen Bcode fail (" + (rig.dir / "tmpb.hex").string() + ")"}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);

    Rig lf;
    lf.write("tmpb.hex", hexFile(5, "\n"));
    lf.core->UPDATE_B();
    EXPECT_TRUE(lf.runner.calls.empty());
    EXPECT_TRUE(lf.alerts.texts.empty());
    EXPECT_EQ(lf.state().STATUS_OF_PNG, -2);
}
