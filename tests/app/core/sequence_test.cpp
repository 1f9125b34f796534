// The START sequence against a scripted tool: word order, pauses and every path to its end (alerts
// are matched by their start).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fakes.h"
#include "row_name.h"

using namespace quill;
using namespace quill::test;

namespace {
Words concat(std::initializer_list<Words> parts) {
    Words all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
const Words kAPhase{"sa*20", "sta", "sync", "A*4", "runaprom", "ports", "sa*10", "sta", "runaprom", "ports"};
const Words kBSwitch = [] {
    Words w;
    for (int i = 0; i < 10; ++i) w.insert(w.end(), {"sb", "qa"});
    w.push_back("sb*21");
    return w;
}();
const Words kLeave{"stb", "qa*30", "qb*31"}, kWhole = concat({kAPhase, kBSwitch, kLeave});
// The A phase and the switch to the B code, then `rest`.
Words withB(const Words& rest) { return concat({kAPhase, kBSwitch, rest}); }

// `word`'s runs answer `result`; every other run answers as before.
void answer(FakeTavik& d, std::string word, RunResult result) {
    d.respond = [word = std::move(word), result = std::move(result), normal = d.respond](const std::string& arg) {
        return arg == word ? result : normal(arg);
    };
}
const RunResult kCrashed{RunEnd::Crashed, "", "SIGSEGV", ""};
const std::string kDone = "every step was confirmed by the device";

TEST(Sequence, WithoutBoxRunsTheAPhaseAndLeavesUpdateMode) {
    FakeTavik rig;
    // The one converter listed (twice: once per identity while it re-enumerates) is locked, then pinned.
    rig.listing = exited(listed({"1-2 0e7b:0bf2 /dev/hidraw4", "1-2 0416:a316 -"}));
    rig.core->onClick1();
    EXPECT_EQ(rig.pinned, (Words{"lock 1-2", "1-2"}));
    EXPECT_EQ(rig.words(), kWhole);
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

// A path ends Complete (status 20) when its cause is kDone, Failed (-1) otherwise.
struct Path : rowname::Row {
    bool box;
    std::function<void(FakeTavik&)> setUp;
    Words words;
    Words alerts;
    std::string cause;  // the update record's sentence (its start)
};
const std::string kNoC4 = std::string(conv::kStatusBurned) + " 00 00 00 00 00 stbok\n",
                  kNoD0 = "01 01 02 " + std::string(conv::kStatusLinesHeld) + " 00 00 00 00 00 00 stbok\n";
const Words kNoLoader{"sa*20", "sta*31"}, kLoaderAlert{"Timout (wait LDROM)"}, kToSync{"sa*20", "sta", "sync"};
const std::string kLoaderCause = "the loader did not appear after 31 tries",
                  kNoStatus = "the status C4 did not come after 11 tries";
const std::string kTwoListed = listed({"1-1 0416:a316 /dev/hidraw0", "1-2 0e7b:0bf2 -"});
const Words kOneBurn = withB({"B*5", "stb", "bb", "stb", "qa*30", "qb*31"});  // a burn tried once, not confirmed
std::vector<Path> paths() {
    // clang-format off
    return {
        {"box ticked", true, [](FakeTavik&) {}, withB({"B*5", "stb", "bb", "stb*2", "qa*30", "qb*31"}), {}, kDone},
        {"loader absent", false, [](FakeTavik& d) { d.staOutput = said(conv::kLoaderNotFound); }, kNoLoader, kLoaderAlert, kLoaderCause},
        {"listed but found in neither mode", false,
         [](FakeTavik& d) { d.staOutput = said(conv::kLoaderNotFound), answer(d, "sa", exited(said(conv::kNormalNotFound))); },
         kNoLoader, kLoaderAlert, "no converter was found: neither 0E7B:0BF2 nor its loader 0416:A316 appeared"},
        {"status runs killed", false, [](FakeTavik& d) { d.staEnd = RunEnd::TimedOut; }, kNoLoader, kLoaderAlert, kLoaderCause},
        // A run that crashed or printed nothing proves nothing: a wait tries again, a step fails.
        {"status runs crashed", false, [](FakeTavik& d) { d.staEnd = RunEnd::Crashed; }, kNoLoader, kLoaderAlert, kLoaderCause},
        {"status runs printed nothing", false, [](FakeTavik& d) { d.staOutput.clear(); }, kNoLoader, kLoaderAlert, kLoaderCause},
        // After each restart the next burst waits until the converter is listed in normal mode again.
        {"converter back late after its restart", false,
         [](FakeTavik& d) {
             d.respond = [looks = 0, normal = d.respond](const std::string& arg) mutable {
                 return arg == "ports" && ++looks <= 6 ? exited(listed({})) : normal(arg);
             };
         },
         concat({{"sa*20", "sta", "sync", "A*4", "runaprom", "ports*7", "sa*10", "sta", "runaprom", "ports"}, kBSwitch, kLeave}), {}, kDone},
        {"converter never back after its restart", false, [](FakeTavik& d) { answer(d, "ports", kCrashed); },
         {"sa*20", "sta", "sync", "A*4", "runaprom", "ports*35"}, {}, "the converter did not come back after its application started (20 s)"},
        {"sync killed", false, [](FakeTavik& d) { d.syncEnd = RunEnd::TimedOut; }, kToSync, {}, "the loader did not answer sync in time"},
        {"sync crashed", false, [](FakeTavik& d) { answer(d, "sync", kCrashed); }, kToSync, {}, "tavik ended by SIGSEGV during sync"},
        {"sync printed nothing", false, [](FakeTavik& d) { answer(d, "sync", exited("")); }, kToSync, {}, "sync got no answer from the loader"},
        {"A packet refused", false, [](FakeTavik& d) { d.uafailAt = 2; },
         {"sa*20", "sta", "sync", "A*2"}, {}, "A packet 2 of 4 was not acknowledged (uafail ckSum)"},
        {"A fails", false, [](FakeTavik& d) { d.core->readBundlePath("/x/Q_V1_0xdead.app"); }, {"sa*20", "sta", "sync", "A*4"},
         {"Final CheckSum Error"}, "the loader's final A checksum is b0 4a, not the bundle's ad de (low byte first)"},
        {"B fails: not burnt, still quit", true, [](FakeTavik& d) { d.bOutput = said(conv::kBLineFailed); },
         withB({"B", "stb", "qa*30", "qb*31"}), {}, "B line 1 of 5 was not echoed"},
        {"no C4: no burn", true, [](FakeTavik& d) { d.stbOutput = kNoC4; }, withB({"B*5", "stb*11"}), {"TIMEOUT (wait status C4)"}, kNoStatus},
        {"no C4: status runs crashed", true, [](FakeTavik& d) { answer(d, "stb", kCrashed); }, withB({"B*5", "stb*11"}),
         {"TIMEOUT (wait status C4)"}, kNoStatus},
        // A burn counts only once the converter says so; the update still leaves update mode.
        {"no D0: failed", true, [](FakeTavik& d) { d.stbOutput = kNoD0; }, withB({"B*5", "stb", "bb", "stb*7", "qa*30", "qb*31"}),
         {"Timeout (wait status:D0), auto-fixed"}, "the burn was not confirmed by the converter (no status D0 after 6 tries)"},
        {"burn crashed", true, [](FakeTavik& d) { answer(d, "bb", kCrashed); }, kOneBurn, {}, "tavik ended by SIGSEGV during the burn"},
        {"burn found no converter", true, [](FakeTavik& d) { d.bbOutput = said(conv::kNormalNotFoundLowerF); }, kOneBurn, {},
         "the converter was unplugged during the burn"},
        {"burn printed nothing", true, [](FakeTavik& d) { d.bbOutput.clear(); }, kOneBurn, {}, "the burn did not reach the converter"},
        // Told to end: the run in flight (or the next one) comes back interrupted; nothing further is sent.
        {"interrupted in the A code", false,
         [](FakeTavik& d) {
             d.respond = [count = 0, normal = d.respond](const std::string& arg) mutable {
                 return arg.size() == 130 && ++count == 3 ? RunResult{RunEnd::Interrupted, "", "SIGTERM", ""} : normal(arg);
             };
         },
         {"sa*20", "sta", "sync", "A*3"}, {}, "interrupted by SIGTERM during A packet 3 of 4"},
        {"interrupted after the A code", false, [](FakeTavik& d) { answer(d, "runaprom", {RunEnd::Interrupted, "", "SIGHUP", ""}); },
         {"sa*20", "sta", "sync", "A*4", "runaprom"}, {}, "interrupted by SIGHUP during the phase \"restart and into the loader again\""},
        {"tool cannot start", false,
         [](FakeTavik& d) { d.respond = [](const std::string&) { return RunResult{RunEnd::FailedToStart, "", "gone", ""}; }; },
         {"sa"}, {"Cannot start tavik (/b/tavik): gone"}, "tavik cannot be started (/b/tavik): gone"},
        {"converter may not be opened", false,
         [](FakeTavik& d) {
             d.respond = [](const std::string&) {
                 return RunResult{RunEnd::Exited, said(conv::kNormalNotFound), "", std::string(conv::kCannotOpenStart) + "0e7b:0bf2" +
                                  std::string(conv::kCannotOpenPresent) + "/dev/hidraw3" + std::string(conv::kCannotOpenEnd) +
                                  "Permission denied); most likely ...\n"};
             };
         },
         {"sa"}, {"The converter 0e7b:0bf2 is plugged in at /dev/hidraw3 but this user may not open it. Install "},
         "the converter 0e7b:0bf2 at /dev/hidraw3 stayed closed to this user once udev had finished with it"},
        // The converter to reach is known before anything is sent, or nothing is sent; a listing
        // killed proves nothing, even one that printed a whole list.
        {"listing killed", false, [](FakeTavik& d) { d.listing = RunResult{RunEnd::TimedOut, listed({"1-1 0e7b:0bf2 -"}), "", ""}; }, {},
         {"The converters plugged in could not be listed: tavik ports got no answer in time. Nothing was sent."},
         "the converters could not be listed (tavik ports got no answer in time); nothing was sent"},
        {"listing crashed", false, [](FakeTavik& d) { d.listing = kCrashed; }, {},
         {"The converters plugged in could not be listed: tavik ports ended by SIGSEGV"},
         "the converters could not be listed (tavik ports ended by SIGSEGV); nothing was sent"},
        {"listing cut short", false, [](FakeTavik& d) { d.listing = exited("CONVERTER 1-1 0e7b:0bf2 /dev/hidraw0\n"); }, {},
         {"The converters plugged in could not be listed: tavik ports printed no whole list"},
         "the converters could not be listed (tavik ports printed no whole list)"},
        // START with no converter, or none on the port chosen, stops within three looks a quarter second apart.
        {"no converter listed", false, [](FakeTavik& d) { d.emptyLooks = 3; }, {},
         {"No converter is plugged in: neither 0E7B:0BF2 nor its loader 0416:A316 is listed."},
         "no converter was plugged in: tavik ports listed none; nothing was sent"},
        {"converter listed on the third look", false, [](FakeTavik& d) { d.emptyLooks = 2; }, kWhole, {}, kDone},
        {"no converter on the port chosen", false, [](FakeTavik& d) { d.chooseConverter("1-3"), d.listing = exited(kTwoListed); }, {},
         {"No converter is plugged in at USB port 1-3 (converters are plugged in at USB ports 1-1, 1-2). Nothing was sent."},
         "no converter was plugged in at USB port 1-3 (converters were at USB ports 1-1, 1-2); nothing was sent"},
        {"port chosen listed on the third look", false, [](FakeTavik& d) { d.chooseConverter("1-1"), d.emptyLooks = 2; }, kWhole, {}, kDone},
        // The port is chosen already: a listing that cannot be had stops nothing.
        {"port chosen, listing not to be had", false, [](FakeTavik& d) { d.chooseConverter("1-1"), d.listing.reset(); }, kWhole, {}, kDone},
        {"listing not to be had", false, [](FakeTavik& d) { d.listing.reset(); }, {},
         {"The converters plugged in could not be listed: tavik ports cannot be run"},
         "the converters could not be listed (tavik ports cannot be run by this front end)"},
        {"two converters at START", true, [](FakeTavik& d) { d.listing = exited(kTwoListed); }, {},
         {"Several converters are plugged in (USB ports 1-1, 1-2). Unplug all but the one to update, or choose one with --port PORT."},
         "several converters were plugged in (USB ports 1-1, 1-2); nothing was sent"},
        {"another update holds the converter", true,
         [](FakeTavik& d) { d.lock.answer = {LockAttempt::Status::Busy, "quillmere-cli, process 4242", "1-1", ""}; }, {},
         {"Another update is running on the converter at USB port 1-1 (quillmere-cli, process 4242). Wait until it has finished."},
         "another update holds the converter at USB port 1-1 (quillmere-cli, process 4242); nothing was sent"},
        {"no lock can be had", false,
         [](FakeTavik& d) { d.lock.answer = {LockAttempt::Status::Failed, "", "", "the folder /x cannot be made"}; }, {},
         {"The update cannot keep other updates off the converter: the folder /x cannot be made. Nothing was sent."},
         "no lock on the converter could be had: the folder /x cannot be made; nothing was sent"},
        // A missing or refused file stops START before the first run (each way a file is refused
        // is a row of the gatherer tables; a FIFO is refused as it is opened, not waited on).
        {"tmpb.hex missing", true, [](FakeTavik& d) { std::filesystem::remove(d.path("tmpb.hex")); }, {},
         {"fopen Bcode fail (PATH/tmpb.hex)"}, "tmpb.hex cannot be opened (PATH/tmpb.hex)"},
        {"tmpb.hex corrupt", true, [](FakeTavik& d) { d.write("tmpb.hex", hexFile(5).replace(100, 1, "x")); }, {},
         {"Bcode file refused (PATH/tmpb.hex): line 3: "}, "tmpb.hex refused: line 3: "},
        {"tmpb.hex with line feeds alone", true, [](FakeTavik& d) { d.write("tmpb.hex", hexFile(5, "\n")); }, {},
         {"Bcode file refused (PATH/tmpb.hex): line 2: data record of 44 characters; B lines are 16-byte data records ending in CR LF"},
         "tmpb.hex refused: line 2: data record of 44 characters"},
        {"tmpa.hex missing", false, [](FakeTavik& d) { std::filesystem::remove(d.path("tmpa.hex")); }, {},
         {"fopen Acode fail (PATH/tmpa.hex)"}, "tmpa.hex cannot be opened (PATH/tmpa.hex)"},
        {"tmpa.hex a FIFO", false, [](FakeTavik& d) { std::filesystem::remove(d.path("tmpa.hex")), ::mkfifo(d.path("tmpa.hex").c_str(), 0600); },
         {}, {"Acode file refused (PATH/tmpa.hex): tmpa.hex is not a regular file (a FIFO)"}, "tmpa.hex refused: tmpa.hex is not"},
        {"tmpa.hex corrupt", false, [](FakeTavik& d) { d.write("tmpa.hex", hexFile(10).replace(27, 1, "2")); }, {},
         {"Acode file refused (PATH/tmpa.hex): line 2: checksum"}, "tmpa.hex refused: line 2: checksum"},
        {"bundle without checksum", false, [](FakeTavik& d) { d.core->readBundlePath("/x/Quillmere_V1.app"); }, {},
         {"The bundle name has no checksum field: the first field beginning with 0x must be 0x and four hexadecimal digits"},
         "the bundle name has no checksum field"},
        {"malformed first checksum field", false, [](FakeTavik& d) { d.core->readBundlePath("/x/Q_V1_0x12_0x0a0b.app"); }, {},
         {"The bundle name's checksum field \"0x12\" is malformed"}, "the bundle name's checksum field \"0x12\" is malformed"},
    };
    // clang-format on
}

class SequencePath : public testing::TestWithParam<Path> {};
TEST_P(SequencePath, EndsWithTheRightWordsAlertsAndState) {
    const Path& p = GetParam();
    FakeTavik rig(p.box);
    p.setUp(rig);
    rig.core->onClick1();
    Words alerts = p.alerts;
    alerts.push_back(p.cause);
    for (auto& a : alerts)
        if (auto at = a.find("PATH"); at != std::string::npos) a.replace(at, 4, rig.dir.string());
    const std::string cause = alerts.back();
    alerts.pop_back();
    EXPECT_EQ(rig.core->cause().rfind(cause, 0), 0u) << rig.core->cause();
    EXPECT_EQ(rig.core->lastActionFailed(), p.cause != kDone);
    EXPECT_EQ(rig.core->lastOutcome() == FrontCore::Outcome::Interrupted, cause.rfind("interrupted", 0) == 0);
    EXPECT_EQ(rig.words(), p.words);
    ASSERT_EQ(rig.alerts.size(), alerts.size());
    for (std::size_t i = 0; i < alerts.size(); ++i) EXPECT_EQ(rig.alerts[i].rfind(alerts[i], 0), 0u) << rig.alerts[i];
    EXPECT_EQ(rig.state().STATUS_OF_PNG, p.cause == kDone ? 20 : -1);
    EXPECT_TRUE(rig.startShown && !rig.core->isRunning() && !rig.lock.held);
}
INSTANTIATE_TEST_SUITE_P(, SequencePath, testing::ValuesIn(paths()), rowname::ByName{});

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
    EXPECT_EQ(rig.words(), kWhole);
}

// The time factor scales pauses and run limits; the pause scale the pauses only (0 removes them).
TEST(Sequence, TimeFactorAndPauseScale) {
    for (double pauseScale : {1.0, 0.0}) {
        SCOPED_TRACE(pauseScale);
        FakeTavik rig(false, 0.5, pauseScale);
        rig.core->onClick1();
        ASSERT_GT(rig.calls.size(), 20u);
        EXPECT_EQ(fold(rig.pausesUs).front(), pauseScale > 0 ? "500*20" : "0*" + std::to_string(rig.pausesUs.size()));
        EXPECT_EQ(rig.calls.front().second.count(), 1500);  // "sa"
        EXPECT_EQ(rig.calls[20].second.count(), 2500);      // "sta"
    }
}

// Each kind of item, not the whole word table; two plain items are also chosen in tests/app/qt.
TEST(ServiceMenu, UpdateItemsRunATransferPlainItemsOneWordUnknownTitlesNone) {
    // clang-format off
    const std::pair<const char*, Words> items[] = {
        {"Update A", {"sync", "A*4"}}, {"Update B", {"B*5"}}, {"RunApRom", {"runaprom"}}, {"Quit B", {"qb"}}, {"Update C", {}}};
    // clang-format on
    for (const auto& [title, words] : items) {
        FakeTavik rig;
        EXPECT_EQ(rig.core->onChangeMenu1(title), !words.empty()) << title;
        EXPECT_EQ(rig.words(), words) << title;
        EXPECT_FALSE(rig.lock.held) << title;
    }
    // A menu action meets another updater as START does: nothing is sent.
    FakeTavik locked;
    locked.lock.answer = {LockAttempt::Status::Busy, "Quillmere, process 42", "", ""};
    EXPECT_TRUE(locked.core->onChangeMenu1("Quit B"));
    EXPECT_TRUE(locked.calls.empty());
    EXPECT_EQ(locked.alerts, Words{"Another update is running on this computer without a chosen converter (Quillmere, "
                                   "process 42). Wait until it has finished."});
    EXPECT_EQ(locked.core->cause(),
              "another update is running on this computer without a chosen converter "
              "(Quillmere, process 42); nothing was sent");
    // "Update A" checks the bundle name as START does.
    FakeTavik unnamed;
    unnamed.core->readBundlePath("/x/Quillmere_V1.app");
    EXPECT_TRUE(unnamed.core->onChangeMenu1("Update A"));
    EXPECT_TRUE(unnamed.calls.empty());
    EXPECT_EQ(unnamed.alerts.size(), 1u);
    EXPECT_EQ(unnamed.state().STATUS_OF_PNG, -1);
}

// The failure screen's line: the record's cause as a sentence, with advice where a person can act.
TEST(CauseLine, CapitalisedWithAFullStopAndAdviceWhereItHelps) {
    const std::pair<const char*, const char*> rows[] = {
        {"the converter was unplugged during A packet 60 of 536",
         "The converter was unplugged during A packet 60 of 536. Plug it in, press EXIT and start again."},
        {"no converter was found: neither 0E7B:0BF2 nor its loader 0416:A316 appeared",
         "No converter was found: neither 0E7B:0BF2 nor its loader 0416:A316 appeared. Plug the converter in, press "
         "EXIT and start again."},
        {"several converters were plugged in (USB ports 1-1, 1-2); nothing was sent",
         "Several converters were plugged in (USB ports 1-1, 1-2); nothing was sent. Unplug all but one, press EXIT "
         "and start again."},
        {"another update holds the converter at USB port 1-1 (quillmere-cli, process 4242); nothing was sent",
         "Another update holds the converter at USB port 1-1 (quillmere-cli, process 4242); nothing was sent. Wait "
         "until it has finished, press EXIT and start again."},
        {"A packet 1 of 536 was not acknowledged (uafail ckSum)",
         "A packet 1 of 536 was not acknowledged (uafail ckSum)."},
        {"tmpa.hex refused: line 2: checksum.", "tmpa.hex refused: line 2: checksum."},
        {"", ""},
    };
    for (const auto& [cause, line] : rows) EXPECT_EQ(causeLine(cause), line) << cause;
}

}  // namespace
