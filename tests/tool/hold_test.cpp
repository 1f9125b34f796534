// tavik-hold: the re-open loop over a scripted port, and its two system ports over a fake
// sysfs tree and a fake emulator socket.
#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <string>

#include "hold/hold_loop.h"
#include "hold/system_port.h"
#include "scripted_socket.h"

namespace tavik::hold {
namespace {

namespace fs = std::filesystem;

// ---- the loop -------------------------------------------------------------------------------

struct ScriptedPort : Port {
    struct Device : Held {
        Device(ScriptedPort& port, std::string name) : port(port), name(std::move(name)) { ++port.open; }
        ~Device() override { --port.open; }
        ScriptedPort& port;
        std::string name;
    };
    std::deque<std::string> present;  // what each openPresent() finds ("" = nothing)
    std::deque<Wake> wakes;           // what each wait() returns
    std::vector<std::string> log;
    int open = 0;

    std::unique_ptr<Held> openPresent() override {
        EXPECT_EQ(open, 0) << "the previous device must be closed before the next open";
        std::string name = present.empty() ? "" : present.front();
        if (!present.empty()) present.pop_front();
        log.push_back("open " + (name.empty() ? "-" : name));
        if (name.empty()) return nullptr;
        return std::make_unique<Device>(*this, name);
    }
    Wake wait(const Held* held, int timeoutMs) override {
        const auto* device = dynamic_cast<const Device*>(held);
        log.push_back("wait " + (device ? device->name : "-") + " " + std::to_string(timeoutMs));
        if (wakes.empty()) return Wake::Stop;
        const Wake wake = wakes.front();
        wakes.pop_front();
        return wake;
    }
};

TEST(HoldLoop, FollowsTheDeviceAcrossReenumerationsAndClosesItOnAStop) {
    ScriptedPort port;
    // normal mode held; it leaves; nothing for two polls; the loader comes; stop while holding it.
    port.present = {"normal", "", "", "loader"};
    port.wakes = {Wake::DeviceGone, Wake::TimedOut, Wake::TimedOut, Wake::Stop};
    holdUntilStopped(port, 20);
    EXPECT_EQ(port.log, (std::vector<std::string>{"open normal", "wait normal -1", "open -", "wait - 20", "open -",
                                                  "wait - 20", "open loader", "wait loader -1"}));
    EXPECT_EQ(port.open, 0) << "nothing stays open after a stop";
}

// ---- the system ports ----------------------------------------------------------------------

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

TEST(HoldEmulated, OpensTheLoaderElseNormalModeAndSeesTheDeviceLeave) {
    TempDir dir;
    ScriptedSocket emulator((dir.path / "emu.sock").string());
    Pipe stop;
    auto port = makeEmulatedPort(emulator.path, stop.fds[0]);

    std::vector<std::string> asked;
    const auto answer = [&](const char* reply) {
        return [&asked, reply](int fd) {
            asked.push_back(ScriptedSocket::next(fd));
            ScriptedSocket::put(fd, reply);
            return true;
        };
    };
    emulator.serve({answer("O0"), answer("O1")});
    auto held = port->openPresent();
    emulator.join();
    EXPECT_EQ(asked, (std::vector<std::string>{"O0416 a316 hold", "O0e7b 0bf2 hold"}));
    ASSERT_NE(held, nullptr);

    // Reports queued for the holder are never read: they do not wake it.
    ScriptedSocket::put(emulator.accepted.back(), std::string("I\x01\x02", 3));
    EXPECT_EQ(port->wait(held.get(), 10), Wake::TimedOut);
    ::shutdown(emulator.accepted.back(), SHUT_RDWR);  // the device leaves
    EXPECT_EQ(port->wait(held.get(), 1000), Wake::DeviceGone);
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
