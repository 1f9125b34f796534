// tavik-hold's system ports: hidraw over a fake sysfs tree, the emulated one's stop. Its loop,
// following the converter across a re-enumeration, is followed in tavik_session.sh (holder).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "hold/system_port.h"

namespace tavik::hold {
namespace {

namespace fs = std::filesystem;

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        closeWrite();
        ::close(fds[0]);
    }
    void closeWrite() {
        if (fds[1] >= 0) ::close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};
};

struct TempDir {
    TempDir() { fs::remove_all(path), fs::create_directories(path); }
    ~TempDir() { fs::remove_all(path); }
    const fs::path path = fs::temp_directory_path() / ("hold_test_" + std::to_string(::getpid()));
};

void addHidraw(const TempDir& dir, const std::string& node, const std::string& hidId) {
    fs::create_directories(dir.path / "sys/class/hidraw" / node / "device");
    std::ofstream(dir.path / "sys/class/hidraw" / node / "device/uevent")
        << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=x\n";
    fs::create_directories(dir.path / "dev");
    std::ofstream(dir.path / "dev" / node) << "";
}

TEST(HoldHidraw, OpensEveryNodeOfThePresentIdentityAndNothingElse) {
    TempDir dir;
    Pipe stop;
    auto port = makeHidrawPort((dir.path / "sys").string(), (dir.path / "dev").string(), stop.fds[0]);
    addHidraw(dir, "hidraw0", "0003:0000046D:0000C52B");   // someone's mouse
    addHidraw(dir, "hidraw3", "0003:00000E7B:00000BF20");  // a longer id is another device
    EXPECT_EQ(port->openPresent(), nullptr);

    addHidraw(dir, "hidraw1", "0003:00000E7B:00000BF2");
    addHidraw(dir, "hidraw2", "0003:00000E7B:00000BF2");
    auto held = port->openPresent();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(port->wait(held.get(), 0), Wake::TimedOut) << "a present device is not gone";

    fs::remove(dir.path / "dev/hidraw1");
    fs::remove(dir.path / "dev/hidraw2");
    EXPECT_EQ(port->openPresent(), nullptr) << "listed but not openable counts as absent";
}

TEST(HoldEmulated, TheEndOfTheStopPipeStopsTheWait) {
    TempDir dir;
    Pipe stop;
    auto port = makeEmulatedPort((dir.path / "nobody.sock").string(), stop.fds[0]);
    EXPECT_EQ(port->openPresent(), nullptr) << "no emulator: nothing present";
    EXPECT_EQ(port->wait(nullptr, 0), Wake::TimedOut);
    stop.closeWrite();
    EXPECT_EQ(port->wait(nullptr, 1000), Wake::Stop);
}

}  // namespace
}  // namespace tavik::hold
