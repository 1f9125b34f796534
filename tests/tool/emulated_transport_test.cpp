// The emulated back end's device list against a scripted SOCK_SEQPACKET server. Listing, opening
// and reports against convsim itself are followed in tests/emulator/tavik_session.py.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "hid/transport.h"

using namespace tavik::hid;

namespace {

// Answers the one message of each connection with the next reply, keeping what was asked.
struct ScriptedServer {
    explicit ScriptedServer(std::vector<std::string> replies) {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener, 4), 0);
        thread = std::thread([this, replies = std::move(replies)] {
            for (const std::string& reply : replies) {
                const int fd = ::accept(listener, nullptr, nullptr);
                char request[64];
                const ssize_t n = ::recv(fd, request, sizeof request, 0);
                asked.emplace_back(request, n > 0 ? static_cast<std::size_t>(n) : 0);
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                ::close(fd);
            }
        });
    }
    ~ScriptedServer() {
        ::shutdown(listener, SHUT_RDWR);  // releases a thread still waiting for a connection
        if (thread.joinable()) thread.join();
        ::close(listener), ::unlink(path.c_str());
    }

    const std::string path = testing::TempDir() + "tavik_emu_" + std::to_string(::getpid()) + ".sock";
    int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    std::vector<std::string> asked;
    std::thread thread;
};

}  // namespace

TEST(EmulatedTransport, ListSkipsMalformedIdentitiesAndAnAbsentIdentityIsNoRefusal) {
    ScriptedServer server(
        {"L-001 a316 emu/signed\n0x16 a316 emu/prefixed\n99999999999999999999999 a316 emu/huge\n"
         "0416 a316x emu/long\n0E7B 0BF2 emu/normal SN1\n",
         "O0"});
    auto transport = makeEmulatedTransport(server.path);
    const auto devices = transport->enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].vendorId, 0x0E7B);
    EXPECT_EQ(devices[0].productId, 0x0BF2);
    EXPECT_EQ(devices[0].path + "|" + devices[0].serial, "emu/normal|SN1");
    EXPECT_EQ(transport->open(0x0416, 0xA316).status, OpenStatus::Absent);
    server.thread.join();
    EXPECT_EQ(server.asked, (std::vector<std::string>{"L", "O0416 a316"}));
}
