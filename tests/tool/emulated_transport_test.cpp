// The emulated back end against a tiny scripted SOCK_SEQPACKET server.
#include "hid/transport.h"
#include "scripted_socket.h"

using namespace tavik::hid;

namespace {
const auto next = ScriptedSocket::next;
const auto put = ScriptedSocket::put;
std::string socketPath() { return testing::TempDir() + "tavik_emu_" + std::to_string(::getpid()) + ".sock"; }
}  // namespace

// Listing, opening and reports against convsim itself are followed in tests/emulator/tavik_session.sh.
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
