// The emulated back end against a tiny scripted SOCK_SEQPACKET server.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <thread>

#include "hid/transport.h"

using namespace tavik::hid;

namespace {

std::string receive(int fd) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

void send(int fd, const std::string& message) { ::send(fd, message.data(), message.size(), MSG_NOSIGNAL); }

// Serves one scripted conversation per connection, in order, closing each after its script.
class TinyServer {
public:
    explicit TinyServer(std::vector<std::function<void(int)>> scripts) {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        thread_ = std::thread([this, scripts = std::move(scripts)] {
            for (const auto& script : scripts) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                script(fd);
                ::close(fd);
            }
        });
    }
    ~TinyServer() { thread_.join(), ::close(listener_), ::unlink(path.c_str()); }
    const std::string path = testing::TempDir() + "tavik_emu_" + std::to_string(::getpid()) + ".sock";

private:
    int listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    std::thread thread_;
};

}  // namespace

// Listing and opening against convsim itself are followed in tests/emulator/tavik_session.sh.
TEST(EmulatedTransport, ListSkipsMalformedIdentitiesAndAnAbsentIdentityIsNoRefusal) {
    TinyServer server({[](int fd) {
                           EXPECT_EQ(receive(fd), "L");
                           send(fd, "L-001 a316 emu/signed\n0x16 a316 emu/prefixed\n99999999999999999999999 a316 emu/huge\n"
                                    "0416 a316x emu/long\n0E7B 0BF2 emu/normal SN1\n");
                       },
                       [](int fd) {
                           EXPECT_EQ(receive(fd), "O0416 a316");
                           send(fd, "O0");
                       }});
    auto transport = makeEmulatedTransport(server.path);
    const auto devices = transport->enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].vendorId, 0x0E7B);
    EXPECT_EQ(devices[0].productId, 0x0BF2);
    EXPECT_EQ(devices[0].path + "|" + devices[0].serial, "emu/normal|SN1");
    EXPECT_EQ(transport->open(0x0416, 0xA316).status, OpenStatus::Absent);
}

TEST(EmulatedTransport, ReportsQueueInOrderAroundStringQueriesUntilTheDeviceLeaves) {
    TinyServer server({[](int fd) {
        EXPECT_EQ(receive(fd), "O0e7b 0bf2");
        send(fd, "O1");
        EXPECT_EQ(receive(fd), std::string("W\x05\x01", 3));
        EXPECT_EQ(receive(fd), "Sm");
        send(fd, "I\x01\x02"), send(fd, "I\x03"), send(fd, "SMaker");
        EXPECT_EQ(receive(fd), "Sp");
        send(fd, "S");
    }});
    OpenResult opened = makeEmulatedTransport(server.path)->open(0x0E7B, 0x0BF2);
    ASSERT_EQ(opened.status, OpenStatus::Opened);
    Device& device = *opened.device;
    std::uint8_t report[2] = {};
    EXPECT_EQ(device.read(report, 10), 0);  // nothing is sent before the string query
    const std::uint8_t frame[] = {0x05, 0x01};
    EXPECT_EQ(device.write(frame), 2);
    EXPECT_EQ(device.getString(StringKind::Manufacturer), "Maker");
    EXPECT_EQ(device.getString(StringKind::Product), std::nullopt);
    EXPECT_EQ(device.read(report), 2);
    EXPECT_EQ(report[0] * 256 + report[1], 0x0102);
    EXPECT_EQ(device.read(report, 0), 1);
    EXPECT_EQ(report[0], 0x03);
    EXPECT_EQ(device.read(report), -1);  // the emulator closed the connection
    EXPECT_EQ(device.write(frame), -1);
}

TEST(EmulatedTransport, UnreachableEmulatorIsARefusalNamingTheSocket) {
    auto transport = makeEmulatedTransport(testing::TempDir() + "no_such.sock");
    const OpenResult result = transport->open(0x0416, 0xA316);
    EXPECT_EQ(result.status, OpenStatus::Refused);
    EXPECT_NE(result.detail.find("no_such.sock"), std::string::npos);
    EXPECT_TRUE(transport->enumerate().empty());
}
