// Where update records go and how many are kept.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "quill/update_record.h"
#include "row_name.h"

namespace fs = std::filesystem;
using namespace quill;

TEST(UpdateRecord, KeepsTheNewestTwentyFoldersAndNothingElseIsTouched) {
    const fs::path root = fs::temp_directory_path() / ("quill_updates_" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    for (int i = 10; i < 32; ++i) fs::create_directories(root / ("20260101-0000" + std::to_string(i)));
    std::ofstream(root / "notes.txt") << "mine";
    fs::create_directories(root / "keep-me");
    const std::string decoy = "20260101-00000x";  // named almost like an update folder
    fs::create_directories(root / decoy);

    const auto made = makeUpdateFolder(root, "20260101-000059", kUpdateFoldersKept);
    ASSERT_TRUE(std::holds_alternative<fs::path>(made)) << std::get<std::string>(made);
    const auto again = makeUpdateFolder(root, "20260101-000059", kUpdateFoldersKept);
    ASSERT_TRUE(std::holds_alternative<fs::path>(again));
    EXPECT_EQ(std::get<fs::path>(again), root / "20260101-000059-2");
    std::size_t updates = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        updates += name.starts_with("2026") && name != decoy;
    }
    EXPECT_EQ(updates, 20u);
    EXPECT_FALSE(fs::exists(root / "20260101-000013"));
    EXPECT_TRUE(fs::exists(root / "20260101-000014") && fs::exists(root / "notes.txt") &&
                fs::exists(root / "keep-me") && fs::exists(root / decoy));

    // A state folder that cannot hold folders is named in the error.
    const auto refused = makeUpdateFolder(root / "notes.txt" / "updates", "20260101-000100", kUpdateFoldersKept);
    ASSERT_TRUE(std::holds_alternative<std::string>(refused));
    EXPECT_NE(std::get<std::string>(refused).find("notes.txt"), std::string::npos);
    fs::remove_all(root);

    EXPECT_EQ(updatesRoot("/s", "/h"), fs::path("/s/quillmere/updates"));
    EXPECT_EQ(updatesRoot("relative", "/h"), fs::path("/h/.local/state/quillmere/updates"));
    EXPECT_EQ(updatesRoot(nullptr, nullptr), fs::path());
}

namespace {
struct HomeRow : rowname::Row {
    const char* text;
    const char* home;
    const char* stored;
};
// clang-format off
const HomeRow kHomeRows[] = {
    {"inside the home folder", "fopen Acode fail (/home/ann/fw/tmpa.hex)", "/home/ann", "fopen Acode fail (~/fw/tmpa.hex)"},
    {"home given with a slash", "/home/ann and /home/ann/", "/home/ann/", "~ and ~/"},
    {"other users' folders", "/home/anna/x /home/ann.b /home/ann", "/home/ann", "/home/anna/x /home/ann.b ~"},
    {"home is the root", "/x/y", "/", "/x/y"},
    {"no home", "/x/y", "", "/x/y"},
};
// clang-format on
}  // namespace

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
