// Where update records go and how many are kept.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "quill/update_record.h"
#include "row_name.h"

namespace fs = std::filesystem;
using namespace quill;

TEST(UpdateRecord, KeepsTheNewestTwentyCompleteFoldersAndNothingElseIsTouched) {
    const fs::path root = fs::temp_directory_path() / ("quill_updates_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    const auto record = [&](const std::string& name, const char* outcome) {
        fs::create_directories(root / name);
        std::ofstream(root / name / "summary.txt") << "program: x\noutcome: " << outcome << "\ncause: y\n";
    };
    for (int i = 10; i < 31; ++i) record("20260101-0000" + std::to_string(i), "Complete");
    record("20251201-000000", "Failed");  // 31 days before: kept
    record("20250902-000000", "Failed");  // 121 days before: removed
    std::ofstream(root / "notes.txt") << "mine";
    fs::create_directories(root / "keep-me");
    const std::string decoy = "20260101-00000x";  // named almost like an update folder
    fs::create_directories(root / decoy);

    const auto made = makeUpdateFolder(root, "20260101-000059");
    ASSERT_TRUE(std::holds_alternative<fs::path>(made)) << std::get<std::string>(made);
    EXPECT_EQ(std::get<fs::path>(makeUpdateFolder(root, "20260101-000059")), root / "20260101-000059-2");
    EXPECT_EQ(updateFolders(root).size(), 23u);  // 20 Complete, the Failed one and the two new ones
    EXPECT_FALSE(fs::exists(root / "20260101-000010") || fs::exists(root / "20250902-000000"));
    EXPECT_EQ(recordOutcome(root / "20251201-000000"), "Failed");
    EXPECT_EQ(recordOutcome(std::get<fs::path>(made)), std::nullopt);
    EXPECT_TRUE(fs::exists(root / "20260101-000011") && fs::exists(root / "notes.txt") &&
                fs::exists(root / "keep-me") && fs::exists(root / decoy));

    // A state folder that cannot hold folders is named in the error.
    const auto refused = makeUpdateFolder(root / "notes.txt" / "updates", "20260101-000100");
    ASSERT_TRUE(std::holds_alternative<std::string>(refused));
    EXPECT_NE(std::get<std::string>(refused).find("notes.txt"), std::string::npos);
    fs::remove_all(root);

    EXPECT_EQ(updatesRoot("/s", "/h"), fs::path("/s/quillmere/updates"));
    EXPECT_EQ(updatesRoot("relative", "/h"), fs::path("/h/.local/state/quillmere/updates"));
    EXPECT_EQ(updatesRoot(nullptr, nullptr), fs::path());
}

namespace {
using std::chrono::hours;
constexpr std::uintmax_t kMB = 1000 * 1000;
// n records of one outcome, size and age in days, named by the hour they were made (later ones newer).
std::vector<RecordFacts> records(int n, const char* outcome, int days, std::uintmax_t bytes, int firstHour = 0) {
    std::vector<RecordFacts> made;
    for (int i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "2026%04d-%02d0000", 101 + firstHour / 24, (firstHour + i) % 24);
        made.push_back({name, outcome, hours(24 * days), bytes});
    }
    return made;
}
std::vector<RecordFacts> joined(std::initializer_list<std::vector<RecordFacts>> groups) {
    std::vector<RecordFacts> all;
    for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
    return all;
}
struct KeepRow : rowname::Row {
    std::vector<RecordFacts> records;
    std::vector<std::string> removed;
};
// clang-format off
const KeepRow kKeepRows[] = {
    {"twenty one complete: the oldest goes", records(21, "Complete", 1, kMB), {"20260101-000000"}},
    {"complete kept whatever its age", records(3, "Complete", 4000, kMB), {}},
    {"failed and interrupted kept beside twenty complete",
     joined({records(3, "Failed", 2, kMB), records(2, "interrupted", 80, kMB, 3),
             records(20, "Complete", 1, kMB, 24)}), {}},
    {"failed or interrupted older than ninety days go",
     joined({records(1, "Failed", 91, kMB), records(1, "interrupted", 120, kMB, 1), records(1, "Failed", 90, kMB, 2)}),
     {"20260101-000000", "20260101-010000"}},
    // Still "running" (killed) or no summary at all: kept as a failure is.
    {"no outcome or still running counts as failed",
     joined({records(1, "", 100, kMB), records(1, "running", 5, kMB, 1), records(1, "", 5, kMB, 2)}),
     {"20260101-000000"}},
    {"stamped after the new record", records(2, "Failed", -3, kMB), {}},
    {"over two hundred megabytes: the oldest go first",
     joined({records(2, "Complete", 1, 60 * kMB), records(1, "Failed", 1, 60 * kMB, 2),
             records(1, "Complete", 1, 50 * kMB, 3)}),
     {"20260101-000000"}},
    {"only what the other rules keep counts toward the size",
     joined({records(1, "Failed", 100, 150 * kMB), records(2, "Complete", 1, 90 * kMB, 1)}), {"20260101-000000"}},
};
// clang-format on

class KeepRecords : public testing::TestWithParam<KeepRow> {};
TEST_P(KeepRecords, RemovesWhatTheRuleDoesNotKeepOldestFirst) {
    EXPECT_EQ(recordsToRemove(GetParam().records, quill::KeepRule{}), GetParam().removed);
}
INSTANTIATE_TEST_SUITE_P(, KeepRecords, testing::ValuesIn(kKeepRows), rowname::ByName{});

struct HomeRow : rowname::Row {
    const char* text;
    const char* home;
    const char* stored;
};
// clang-format off
const HomeRow kHomeRows[] = {
    {"inside the home folder", "fopen Acode fail (/home/ann/fw/tmpa.hex)", "/home/ann",
     "fopen Acode fail (~/fw/tmpa.hex)"},
    {"home given with a slash", "/home/ann and /home/ann/", "/home/ann/", "~ and ~/"},
    {"other users' folders", "/home/anna/x /home/ann.b /home/ann", "/home/ann", "/home/anna/x /home/ann.b ~"},
    {"home is the root", "/x/y", "/", "/x/y"},
    {"no home", "/x/y", "", "/x/y"},
};
// clang-format on

class StoredText : public testing::TestWithParam<HomeRow> {};
TEST_P(StoredText, NamesTheHomeFolderAsTildeOnly) {
    EXPECT_EQ(homeAsTilde(GetParam().text, GetParam().home), GetParam().stored);
}
INSTANTIATE_TEST_SUITE_P(, StoredText, testing::ValuesIn(kHomeRows), rowname::ByName{});

TEST(UpdateRecord, TransportNamesTheConvertersNodeAndUsbPortOrTheEmulator) {
    const fs::path sys = fs::temp_directory_path() / ("quill_sysfs_" + std::to_string(::getpid()));
    fs::remove_all(sys);
    // A USB device on its port, with its ids and, under its interface I, a hidraw node and the
    // HID device's report descriptor.
    const auto addNode = [&](const char* node, const char* port, int intf, const char* vid, const char* pid,
                             std::vector<char> descriptor) {
        const fs::path device = sys / "bus/usb/devices" / port;
        const fs::path hid = device / (std::string(port) + ":1." + std::to_string(intf)) / ("0003:" + std::string(vid));
        fs::create_directories(hid / "hidraw" / node);
        std::ofstream(hid / "report_descriptor", std::ios::binary).write(descriptor.data(), std::ssize(descriptor));
        std::ofstream(device / "idVendor") << vid << "\n";
        std::ofstream(device / "idProduct") << pid << "\n";
    };
    EXPECT_EQ(describeTransport(nullptr, sys), "hidraw, no converter present");
    addNode("hidraw0", "1-2", 0, "046d", "c52b", {});  // a keyboard receiver
    // Normal mode's gamepad interface (input report 1 only) comes before the one that takes the frames.
    addNode("hidraw2", "1-1.4", 0, "0e7b", "0bf2", {'\x85', 1, '\x75', 8, '\x95', 31, '\x81', 2});
    addNode("hidraw3", "1-1.4", 1, "0e7b", "0bf2", {'\x85', 1, '\x75', 8, '\x95', 31, '\x81', 2, '\x85', 5, '\x91', 2});
    EXPECT_EQ(describeTransport("", sys), "hidraw /dev/hidraw3 on USB port 1-1.4 (0e7b:0bf2)");
    EXPECT_EQ(describeTransport("/tmp/c.sock", sys), "emulator (socket /tmp/c.sock)");
    fs::remove_all(sys);
}

}  // namespace
