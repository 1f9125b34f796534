// The START sequence end to end against a scripted tool: word order, pauses, every failure path.
#include <gtest/gtest.h>

#include "fakes.h"

using namespace quill;
using namespace quill::test;
using Words = std::vector<std::string>;

namespace {
constexpr int kALines = 10;
const std::string kStatusBoth = "01 01 02 42 d0 c4 00 00 00 00 stbok\n";

struct Device : Rig {
    std::string staOutput, stbOutput = kStatusBoth, bOutput = "ubok\n";
    RunEnd staEnd = RunEnd::Exited;
    explicit Device(bool ticked = false, double scale = 1.0) : Rig(scale) {
        view.ticked = ticked;
        write("tmpa.hex", hexFile(kALines));
        write("tmpb.hex", hexFile(5));
        char name[64];
        std::snprintf(name, sizeof name, "/x/Quillmere_V1_0x%04x.app", imageSum(kALines));
        core->readBundlePath(name);
        runner.respond = [this](const std::string& arg) {
            if (arg == "sta") return RunResult{staEnd, staOutput, ""};
            if (arg == "stb") return RunResult{RunEnd::Exited, stbOutput, ""};
            if (arg.size() == 130) return RunResult{RunEnd::Exited, replyDump(imageSum(kALines)), ""};
            if (arg.size() == 45) return RunResult{RunEnd::Exited, bOutput, ""};
            return RunResult{RunEnd::Exited, arg + "ok\n", ""};
        };
    }
};

// Pauses in microseconds with runs of the same value folded ("1000*20").
Words pauses(const VirtualClock& clock) {
    Words folded;
    for (std::size_t i = 0; i < clock.pausesUs.size();) {
        std::size_t j = i;
        while (j < clock.pausesUs.size() && clock.pausesUs[j] == clock.pausesUs[i]) ++j;
        folded.push_back(std::to_string(clock.pausesUs[i]) + (j - i > 1 ? "*" + std::to_string(j - i) : ""));
        i = j;
    }
    return folded;
}

Words aPhase() { return {"sa*20", "sta", "sync", "A*4", "runaprom", "sa*10", "sta", "runaprom"}; }
Words bSwitch() {
    Words w;
    for (int i = 0; i < 10; ++i) w.insert(w.end(), {"sb", "qa"});
    w.push_back("sb*21");
    return w;
}
Words concat(std::initializer_list<Words> parts) {
    Words all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
}  // namespace

TEST(Sequence, WithoutBoxRunsTheAPhaseAndLeavesUpdateMode) {
    Device rig;
    rig.core->onClick1();
    EXPECT_EQ(rig.runner.words(), concat({aPhase(), bSwitch(), {"stb", "qa*30", "qb*31"}}));
    EXPECT_EQ(pauses(rig.clock), (Words{"1000*20", "1000000*2", "5", "1*2", "5", "3000000", "1000000", "3000000",
                                       "100*10", "1000", "20000*20", "6000000", "2000*60"}));
    EXPECT_TRUE(rig.alerts.texts.empty());
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 20);
    EXPECT_TRUE(rig.view.running && rig.view.startShown && !rig.view.terminated);
    rig.core->onClick1();  // FINISH
    EXPECT_TRUE(rig.view.terminated);
}

TEST(Sequence, WithBoxSendsBAndBurnsAfterTheStatusMarkers) {
    Device rig(true);
    rig.core->onClick1();
    EXPECT_EQ(rig.runner.words(), concat({aPhase(), bSwitch(), {"B*5", "stb", "bb", "stb*2", "qa*30", "qb*31"}}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 20);
    EXPECT_TRUE(rig.alerts.texts.empty());
}

TEST(Sequence, LoaderThatNeverAnswersEndsFailedAfterItsAlert) {
    for (RunEnd end : {RunEnd::Exited, RunEnd::TimedOut}) {
        Device rig;
        rig.staOutput = end == RunEnd::Exited ? "LDROM NOT FOUND\n" : "";
        rig.staEnd = end;
        rig.core->onClick1();
        EXPECT_EQ(rig.runner.words(), (Words{"sa*20", "sta*31"}));
        EXPECT_EQ(pauses(rig.clock), (Words{"1000*20", "1000000*31"}));
        EXPECT_EQ(rig.alerts.texts, Words{"Timout (wait LDROM)"});
        EXPECT_TRUE(rig.state().TIMEOUTFAIL);
        EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
        EXPECT_TRUE(rig.view.startShown);
    }
}

TEST(Sequence, FailedATransferStopsBeforeRunaprom) {
    Device rig;
    rig.core->readBundlePath("/x/Quillmere_V1_0xdead.app");
    rig.core->onClick1();
    EXPECT_EQ(rig.runner.words(), (Words{"sa*20", "sta", "sync", "A*4"}));
    EXPECT_EQ(rig.alerts.texts, Words{"Final CheckSum Error"});
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(Sequence, FailedBTransferStillBurnsAndQuitsButEndsFailed) {
    Device rig(true);
    rig.bOutput = "ubfail\n";
    rig.core->onClick1();
    EXPECT_EQ(rig.runner.words(), concat({aPhase(), bSwitch(), {"B", "stb", "bb", "stb*2", "qa*30", "qb*31"}}));
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(Sequence, MissingC4EndsFailedWithoutBurnButMissingD0IsAutoFixed) {
    Device noC4(true);
    noC4.stbOutput = "01 01 02 42 d0 00 00 00 00 00 stbok\n";
    noC4.core->onClick1();
    EXPECT_EQ(noC4.runner.words(), concat({aPhase(), bSwitch(), {"B*5", "stb*11"}}));
    EXPECT_EQ(noC4.alerts.texts, Words{"TIMEOUT (wait status C4)"});
    EXPECT_EQ(noC4.state().STATUS_OF_PNG, -1);

    Device noD0(true);
    noD0.stbOutput = "01 01 02 c4 00 00 00 00 00 00 stbok\n";
    noD0.core->onClick1();
    EXPECT_EQ(noD0.runner.words(), concat({aPhase(), bSwitch(), {"B*5", "stb", "bb", "stb*7", "qa*30", "qb*31"}}));
    EXPECT_EQ(noD0.alerts.texts, Words{"Timeout (wait status:D0), auto-fixed"});
    EXPECT_EQ(noD0.state().STATUS_OF_PNG, 20);
}

TEST(Sequence, ToolThatCannotStartEndsFailedAtOnceNamingThePath) {
    Device rig;
    rig.runner.respond = [](const std::string&) { return RunResult{RunEnd::FailedToStart, "", "No such file"}; };
    rig.core->onClick1();
    EXPECT_EQ(rig.runner.calls.size(), 1u);
    EXPECT_EQ(rig.alerts.texts, Words{"Cannot start tavik (/bundle/Contents/Resources/tavik): No such file"});
    EXPECT_EQ(rig.state().STATUS_OF_PNG, -1);
}

TEST(Sequence, BadFirmwareFilesAreRefusedBeforeTheFirstRun) {
    Device missingB(true);
    std::filesystem::remove(missingB.dir / "tmpb.hex");
    missingB.core->onClick1();
    EXPECT_EQ(missingB.alerts.texts, Words{"fopen Bcode fail (" + (missingB.dir / "tmpb.hex").string() + ")"});

    Device corruptB(true);
    std::string text = hexFile(5);
    text[text.rfind(":10004000") + 20] = 'x';
    corruptB.write("tmpb.hex", text);
    corruptB.core->onClick1();
    ASSERT_EQ(corruptB.alerts.texts.size(), 1u);
    EXPECT_NE(corruptB.alerts.texts[0].find("line 6:"), std::string::npos);

    Device shortA;
    shortA.write("tmpa.hex", hexFile(2));
    shortA.core->onClick1();
    EXPECT_EQ(shortA.alerts.texts.size(), 1u);

    for (Device* rig : {&missingB, &corruptB, &shortA}) {
        EXPECT_TRUE(rig->runner.calls.empty());
        EXPECT_EQ(rig->state().STATUS_OF_PNG, -1);
        EXPECT_TRUE(rig->view.startShown);
    }
}

TEST(Sequence, IsRunningOnlyWhileItRunsAndIgnoresASecondPress) {
    Device rig;
    int runningSeen = 0;
    auto reply = rig.runner.respond;
    rig.runner.respond = [&](const std::string& arg) {
        runningSeen += rig.core->isRunning();
        if (arg == "sync") rig.core->onClick1();  // a press while running
        return reply(arg);
    };
    EXPECT_FALSE(rig.core->isRunning());
    rig.core->onClick1();
    EXPECT_EQ(runningSeen, static_cast<int>(rig.runner.calls.size()));
    EXPECT_FALSE(rig.core->isRunning());
    EXPECT_FALSE(rig.view.terminated);
    EXPECT_EQ(rig.runner.words(), concat({aPhase(), bSwitch(), {"stb", "qa*30", "qb*31"}}));
}

TEST(Sequence, TimeFactorScalesPausesAndRunLimits) {
    Device rig(false, 0.5);
    rig.core->onClick1();
    EXPECT_EQ(rig.clock.pausesUs.front(), 500);
    EXPECT_EQ(rig.clock.pausesUs.back(), 1000);
    EXPECT_EQ(rig.runner.calls.front().limit, std::chrono::milliseconds(1500));
    EXPECT_EQ(rig.runner.calls[20].limit, std::chrono::milliseconds(2500));
}

TEST(ServiceMenu, EachItemRunsOneActionAndUnknownTitlesNone) {
    const std::pair<const char*, Words> items[] = {
        {"Start A", {"sa"}}, {"Status A", {"sta"}}, {"Update A", {"sync", "A*4"}}, {"RunApRom", {"runaprom"}},
        {"Quit A", {"qa"}}, {"Start B", {"sb"}}, {"Status B", {"stb"}}, {"Update B", {"B*5"}}, {"Quit B", {"qb"}},
    };
    for (const auto& [title, words] : items) {
        Device rig;
        EXPECT_TRUE(rig.core->onChangeMenu1(title));
        EXPECT_EQ(rig.runner.words(), words) << title;
        EXPECT_TRUE(rig.view.startShown);
    }
    Device rig;
    EXPECT_FALSE(rig.core->onChangeMenu1("Update C"));
    EXPECT_TRUE(rig.runner.calls.empty());
}
