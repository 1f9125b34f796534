// The emulated back end against a tiny scripted SOCK_SEQPACKET server.
#include "hid/transport.h"
#include "scripted_socket.h"

using namespace tavik::hid;

namespace {
const auto next = ScriptedSocket::next;
const auto put = ScriptedSocket::put;
std::string socketPath() { return testing::TempDir() + "tavik_emu_" + std::to_string(::getpid()) + ".sock"; }
}  // namespace

// Listing and opening against convsim itself are followed in tests/emulator/tavik_session.sh.
TEST(EmulatedTransport, ListSkipsMalformedIdentitiesAndAnAbsentIdentityIsNoRefusal) {
    ScriptedSocket server(socketPath());
    server.serve({[](int fd) {
                      EXPECT_EQ(next(fd), "L");
                      put(fd, "L-001 a316 emu/signed\n0x16 a316 emu/prefixed\n99999999999999999999999 a316 emu/huge\n"
                               "0416 a316x emu/long\n0E7B 0BF2 emu/normal SN1\n");
                      return false;
                  },
                  [](int fd) {
                      EXPECT_EQ(next(fd), "O0416 a316");
                      put(fd, "O0");
                      return false;
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
    ScriptedSocket server(socketPath());
    server.serve({[](int fd) {
        EXPECT_EQ(next(fd), "O0e7b 0bf2");
        put(fd, "O1");
        EXPECT_EQ(next(fd), std::string("W\x05\x01", 3));
        EXPECT_EQ(next(fd), "Sm");
        put(fd, "I\x01\x02"), put(fd, "I\x03"), put(fd, "SMaker");
        EXPECT_EQ(next(fd), "Sp");
        put(fd, "S");
        return false;
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
