// The START sequence against a scripted tool: word order, pauses and every path to its end (alerts
// are matched by their start).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fakes.h"

using namespace quill;
using namespace quill::test;

namespace {
Words concat(std::initializer_list<Words> parts) {
    Words all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
const Words kAPhase{"sa*20", "sta", "sync", "A*4", "runaprom", "sa*10", "sta", "runaprom"};
const Words kBSwitch = [] {
    Words w;
    for (int i = 0; i < 10; ++i) w.insert(w.end(), {"sb", "qa"});
    w.push_back("sb*21");
    return w;
}();
const Words kLeave{"stb", "qa*30", "qb*31"};

// hexFile() without its line `index` (0: the address record).
std::string withoutLine(std::string file, int index) {
    std::size_t start = 0;
    for (int i = 0; i < index; ++i) start = file.find('\n', start) + 1;
    return file.erase(start, file.find('\n', start) + 1 - start);
}
// hexFile(5) with one more line (CR LF added) before its end record.
std::string bFileWith(unsigned address, const std::vector<std::uint8_t>& data, const std::string& padding = "") {
    std::string file = hexFile(5);
    return file.insert(file.rfind(':'), hextext::record(0, address, data) + padding + "\r\n");
}
}  // namespace

TEST(Sequence, WithoutBoxRunsTheAPhaseAndLeavesUpdateMode) {
    FakeTavik rig;
    // The one converter listed (twice: once per identity while it re-enumerates) is pinned.
    rig.listing = RunResult{RunEnd::Exited, "CONVERTER 1-2 0e7b:0bf2 /dev/hidraw4\nCONVERTER 1-2 0416:a316 -\n", "", ""};
    rig.core->onClick1();
    EXPECT_EQ(rig.pinned, Words{"1-2"});
    EXPECT_EQ(rig.words(), concat({kAPhase, kBSwitch, kLeave}));
    EXPECT_EQ(fold(rig.pausesUs), (Words{"1000*20", "1000000*2", "5", "1*2", "5", "3000000", "1000000", "3000000",
                                         "100*10", "1000", "20000*20", "6000000", "2000*60"}));
    EXPECT_TRUE(rig.alerts.empty());
    EXPECT_EQ(rig.state().STATUS_OF_PNG, 20);
    EXPECT_TRUE(rig.startShown && !rig.terminated);
    const std::size_t runs = rig.calls.size();
    rig.core->onClick1();  // FINISH ends the application without a run
    EXPECT_TRUE(rig.terminated);
    EXPECT_EQ(rig.calls.size(), runs);
}

TEST(Sequence, EachPathEndsWithTheRightWordsAlertsAndState) {
    const std::string noC4 = std::string(conv::kStatusBurned) + " 00 00 00 00 00 stbok\n",
                      noD0 = "01 01 02 " + std::string(conv::kStatusLinesHeld) + " 00 00 00 00 00 00 stbok\n";
    struct Path {
        const char* name;
        bool box;
        std::function<void(FakeTavik&)> setUp;
        Words words;
        Words alerts;
        int status;
        std::string cause;  // the update record's sentence (its start)
    };
    const Path paths[] = {
        {"box ticked", true, [](FakeTavik&) {},
         concat({kAPhase, kBSwitch, {"B*5", "stb", "bb", "stb*2", "qa*30", "qb*31"}}), {}, 20,
         "every step was confirmed by the device"},
        {"loader absent", false, [](FakeTavik& d) { d.staOutput = said(conv::kLoaderNotFound); },
         {"sa*20", "sta*31"}, {"Timout (wait LDROM)"}, -1, "the loader did not appear after 31 tries"},
        {"no converter at all", false,
         [](FakeTavik& d) {
             d.staOutput = said(conv::kLoaderNotFound);
             d.respond = [&d, normal = d.respond](const std::string& arg) {
                 return arg == "sa" ? RunResult{RunEnd::Exited, said(conv::kNormalNotFound), "", ""} : normal(arg);
             };
         },
         {"sa*20", "sta*31"}, {"Timout (wait LDROM)"}, -1,
         "no converter was found: neither 0E7B:0BF2 nor its loader 0416:A316 appeared"},
        {"status runs killed", false, [](FakeTavik& d) { d.staEnd = RunEnd::TimedOut; },
         {"sa*20", "sta*31"}, {"Timout (wait LDROM)"}, -1, "the loader did not appear after 31 tries"},
        {"sync killed", false, [](FakeTavik& d) { d.syncEnd = RunEnd::TimedOut; },
         {"sa*20", "sta", "sync"}, {}, -1, "the loader did not answer sync in time"},
        {"A packet refused", false, [](FakeTavik& d) { d.uafailAt = 2; },
         {"sa*20", "sta", "sync", "A*2"}, {}, -1, "A packet 2 of 4 was not acknowledged (uafail ckSum)"},
        {"A fails", false, [](FakeTavik& d) { d.core->readBundlePath("/x/Q_V1_0xdead.app"); },
         {"sa*20", "sta", "sync", "A*4"}, {"Final CheckSum Error"}, -1,
         "the loader's final A checksum is not the bundle's ad de (low byte first)"},
        {"B fails: not burnt, still quit", true, [](FakeTavik& d) { d.bOutput = said(conv::kBLineFailed); },
         concat({kAPhase, kBSwitch, {"B", "stb", "qa*30", "qb*31"}}), {}, -1, "B line 1 of 5 was not echoed"},
        {"no C4: no burn", true, [&](FakeTavik& d) { d.stbOutput = noC4; },
         concat({kAPhase, kBSwitch, {"B*5", "stb*11"}}), {"TIMEOUT (wait status C4)"}, -1,
         "the status C4 did not come after 11 tries"},
        {"no D0: auto-fixed", true, [&](FakeTavik& d) { d.stbOutput = noD0; },
         concat({kAPhase, kBSwitch, {"B*5", "stb", "bb", "stb*7", "qa*30", "qb*31"}}),
         {"Timeout (wait status:D0), auto-fixed"}, 20,
         "the status D0 did not come after 6 tries: the burn was not confirmed by the device"},
        // Told to end: the run in flight (or the next one) comes back interrupted; nothing further is sent.
        {"interrupted in the A code", false,
         [](FakeTavik& d) {
             d.respond = [count = 0, normal = d.respond](const std::string& arg) mutable {
                 return arg.size() == 130 && ++count == 3 ? RunResult{RunEnd::Interrupted, "", "SIGTERM", ""} : normal(arg);
             };
         },
         {"sa*20", "sta", "sync", "A*3"}, {}, -1, "interrupted by SIGTERM during A packet 3 of 4"},
        {"interrupted after the A code", false,
         [](FakeTavik& d) {
             d.respond = [normal = d.respond](const std::string& arg) {
                 return arg == "runaprom" ? RunResult{RunEnd::Interrupted, "", "SIGHUP", ""} : normal(arg);
             };
         },
         {"sa*20", "sta", "sync", "A*4", "runaprom"}, {}, -1,
         "interrupted by SIGHUP during the phase \"restart and into the loader again\""},
        {"tool cannot start", false,
         [](FakeTavik& d) { d.respond = [](const std::string&) { return RunResult{RunEnd::FailedToStart, "", "gone", ""}; }; },
         {"sa"}, {"Cannot start tavik (/b/tavik): gone"}, -1, "tavik cannot be started (/b/tavik): gone"},
        {"converter may not be opened", false,
         [](FakeTavik& d) {
             d.respond = [](const std::string&) {
                 const std::string refused = std::string(conv::kCannotOpenStart) + "0e7b:0bf2" +
                                             std::string(conv::kCannotOpenPresent) + "/dev/hidraw3" +
                                             std::string(conv::kCannotOpenEnd) + "Permission denied); most likely ...\n";
                 return RunResult{RunEnd::Exited, std::string(conv::kNormalNotFound) + "\n", "", refused};
             };
         },
         {"sa"}, {"The converter 0e7b:0bf2 is plugged in at /dev/hidraw3 but this user may not open it. Install "}, -1,
         "the converter 0e7b:0bf2 at /dev/hidraw3 stayed closed to this user for 1.5 s"},
        {"two converters at START", true,
         [](FakeTavik& d) {
             d.listing = RunResult{RunEnd::Exited, "CONVERTER 1-1 0416:a316 /dev/hidraw0\nCONVERTER 1-2 0e7b:0bf2 -\n", "", ""};
         },
         {}, {"Several converters are plugged in (USB ports 1-1, 1-2). Unplug all but the one to update, or choose one with --port PORT."},
         -1, "several converters were plugged in (USB ports 1-1, 1-2); nothing was sent"},
        {"tmpb.hex missing", true, [](FakeTavik& d) { std::filesystem::remove(d.path("tmpb.hex")); },
         {}, {"fopen Bcode fail (PATH/tmpb.hex)"}, -1, "tmpb.hex cannot be opened (PATH/tmpb.hex)"},
        {"tmpb.hex corrupt", true, [](FakeTavik& d) { d.write("tmpb.hex", hexFile(5).replace(100, 1, "x")); },
         {}, {"Bcode file refused (PATH/tmpb.hex): line 3: "}, -1, "tmpb.hex refused: line 3: "},
        {"tmpa.hex missing", false, [](FakeTavik& d) { std::filesystem::remove(d.path("tmpa.hex")); },
         {}, {"fopen Acode fail (PATH/tmpa.hex)"}, -1, "tmpa.hex cannot be opened (PATH/tmpa.hex)"},
        {"tmpa.hex a FIFO", false, [](FakeTavik& d) { std::filesystem::remove(d.path("tmpa.hex")), ::mkfifo(d.path("tmpa.hex").c_str(), 0600); },
         {}, {"Acode file refused (PATH/tmpa.hex): tmpa.hex is not a regular file (a FIFO)"}, -1, "tmpa.hex refused: tmpa.hex is not"},
        {"tmpa.hex corrupt", false, [](FakeTavik& d) { d.write("tmpa.hex", hexFile(10).replace(27, 1, "2")); },
         {}, {"Acode file refused (PATH/tmpa.hex): line 2: checksum"}, -1, "tmpa.hex refused: line 2: checksum"},
        // Whatever cannot be sent exactly is refused before the first run.
        {"tmpa.hex with a hole", false, [](FakeTavik& d) { d.write("tmpa.hex", withoutLine(hexFile(10), 3)); }, {},
         {"Acode file refused (PATH/tmpa.hex): line 4: record for address 0x0030 where the image goes on at 0x0020"}, -1,
         "tmpa.hex refused: line 4: "},
        {"tmpa.hex opening with data", false, [](FakeTavik& d) { d.write("tmpa.hex", withoutLine(hexFile(10), 0)); }, {},
         {"Acode file refused (PATH/tmpa.hex): line 1: a data record on the first line"}, -1, "tmpa.hex refused: line 1: "},
        {"tmpb.hex with LF line ends", true, [](FakeTavik& d) { d.write("tmpb.hex", hexFile(5, "\n")); },
         {}, {"Bcode file refused (PATH/tmpb.hex): line 2: data record of 44 characters; B lines are 16-byte data records ending in CR LF"}, -1,
         "tmpb.hex refused: line 2: "},
        {"tmpb.hex with a padded line", true, [](FakeTavik& d) { d.write("tmpb.hex", bFileWith(0x50, {1, 2, 3, 4, 5, 6, 7, 8}, std::string(16, ' '))); },
         {}, {"Bcode file refused (PATH/tmpb.hex): line 7: character 28 is not a hexadecimal digit"}, -1, "tmpb.hex refused: line 7: "},
        {"tmpb.hex with a retry line", true,
         [](FakeTavik& d) { d.write("tmpb.hex", bFileWith(0x1010, {0x10, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14})); }, {},
         {"Bcode file refused (PATH/tmpb.hex): line 7: address low, address high and the first two data bytes are all 0x10"}, -1,
         "tmpb.hex refused: line 7: "},
        {"bundle without checksum", false, [](FakeTavik& d) { d.core->readBundlePath("/x/Quillmere_V1.app"); },
         {}, {"The bundle name has no checksum field: the first field beginning with 0x must be 0x and four hexadecimal digits"}, -1,
         "the bundle name has no checksum field"},
        {"malformed first checksum field", false, [](FakeTavik& d) { d.core->readBundlePath("/x/Q_V1_0x12_0x0a0b.app"); }, {},
         {"The bundle name's checksum field \"0x12\" is malformed"}, -1, "the bundle name's checksum field \"0x12\" is malformed"},
    };
    for (const auto& p : paths) {
        FakeTavik rig(p.box);
        p.setUp(rig);
        rig.core->onClick1();
        Words alerts = p.alerts;
        alerts.push_back(p.cause);
        for (auto& a : alerts)
            if (auto at = a.find("PATH"); at != std::string::npos) a.replace(at, 4, rig.dir.string());
        const std::string cause = alerts.back();
        alerts.pop_back();
        EXPECT_EQ(rig.core->cause().rfind(cause, 0), 0u) << p.name << ": " << rig.core->cause();
        EXPECT_EQ(rig.core->lastActionFailed(), p.status == -1) << p.name;
        EXPECT_EQ(rig.core->lastOutcome() == FrontCore::Outcome::Interrupted, cause.rfind("interrupted", 0) == 0) << p.name;
        EXPECT_EQ(rig.words(), p.words) << p.name;
        ASSERT_EQ(rig.alerts.size(), alerts.size()) << p.name;
        for (std::size_t i = 0; i < alerts.size(); ++i) EXPECT_EQ(rig.alerts[i].rfind(alerts[i], 0), 0u) << rig.alerts[i];
        EXPECT_EQ(rig.state().STATUS_OF_PNG, p.status) << p.name;
        EXPECT_TRUE(rig.startShown && !rig.core->isRunning()) << p.name;
    }
}

TEST(Sequence, IsRunningWhileItRunsAndIgnoresASecondPress) {
    FakeTavik rig;
    std::size_t runningSeen = 0;
    rig.respond = [&, normal = rig.respond](const std::string& arg) {
        runningSeen += rig.core->isRunning();
        if (arg == "sync") rig.core->onClick1();
        return normal(arg);
    };
    rig.core->onClick1();
    EXPECT_EQ(runningSeen, rig.calls.size());
    EXPECT_EQ(rig.words(), concat({kAPhase, kBSwitch, kLeave}));
}

// The time factor scales pauses and run limits; the pause scale the pauses only (0 removes them).
TEST(Sequence, TimeFactorAndPauseScale) {
    for (double pauseScale : {1.0, 0.0}) {
        FakeTavik rig(false, 0.5, pauseScale);
        rig.core->onClick1();
        EXPECT_EQ(fold(rig.pausesUs).front(), pauseScale > 0 ? "500*20" : "0*" + std::to_string(rig.pausesUs.size()));
        EXPECT_EQ(rig.calls.front().second.count(), 1500);  // "sa"
        EXPECT_EQ(rig.calls[20].second.count(), 2500);      // "sta"
    }
}

// Each kind of item, not the whole word table; two plain items are also chosen in tests/app/qt.
TEST(ServiceMenu, UpdateItemsRunATransferPlainItemsOneWordUnknownTitlesNone) {
    const std::pair<const char*, Words> items[] = {
        {"Update A", {"sync", "A*4"}}, {"Update B", {"B*5"}}, {"RunApRom", {"runaprom"}},
        {"Quit B", {"qb"}}, {"Update C", {}}};
    for (const auto& [title, words] : items) {
        FakeTavik rig;
        EXPECT_EQ(rig.core->onChangeMenu1(title), !words.empty()) << title;
        EXPECT_EQ(rig.words(), words) << title;
    }
    // "Update A" checks the bundle name as START does.
    FakeTavik unnamed;
    unnamed.core->readBundlePath("/x/Quillmere_V1.app");
    EXPECT_TRUE(unnamed.core->onChangeMenu1("Update A"));
    EXPECT_TRUE(unnamed.calls.empty());
    EXPECT_EQ(unnamed.alerts.size(), 1u);
    EXPECT_EQ(unnamed.state().STATUS_OF_PNG, -1);
}
