// The socket server as a process: malformed messages, several readers, a reader that never reads,
// a host that exits with reports unread, and connections closed when the identity leaves.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conv/packets.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// convsim in a child process, stopped with SIGTERM on scope exit.
struct Emulator {
    fs::path dir = fs::temp_directory_path() / ("convsim-srv-" + std::to_string(::getpid()));
    std::string socket = (dir / "s").string();
    pid_t pid = -1;

    explicit Emulator(std::vector<std::string> args, bool waitForSocket = true) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        args.insert(args.begin(), {CONVSIM_PATH, "--socket", socket, "--reenum-ms", "50"});
        if ((pid = ::fork()) == 0) {
            std::freopen((dir / "log").c_str(), "w", stderr);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            std::_Exit(127);
        }
        for (int i = 0; waitForSocket && i < 500 && !fs::exists(socket); ++i) std::this_thread::sleep_for(10ms);
    }
    ~Emulator() {  // a clean stop is checked in tavik_session.py
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        fs::remove_all(dir);
    }
    std::string log() const { return {std::istreambuf_iterator<char>(std::ifstream(dir / "log").rdbuf()), {}}; }
};

struct Client {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    explicit Client(const Emulator& emu) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", emu.socket.c_str());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~Client() { ::close(fd); }
    void send(const std::string& m) { ::send(fd, m.data(), m.size(), MSG_NOSIGNAL); }
    // The next message; "" on time-out, "<closed>" when the server closed the connection.
    std::string receive() {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) return "";
        std::string buffer(70000, '\0');
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) return "<closed>";
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }
    std::string ask(const std::string& m) {
        send(m);
        return receive();
    }
};

std::string frame(std::uint8_t kind, std::string_view payload) {
    conv::FrameReport f{};
    conv::putFrame(f, kind, payload);
    return "W" + std::string(f.begin(), f.end());
}
const std::string kNormal = "O0e7b 0bf2";

bool loaderListed(const Emulator& emu) {
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(10ms))
        if (Client(emu).ask("L").find("0416 a316 convsim:loader") != std::string::npos) return true;
    return false;
}

// Clients wait for the socket file and connect at once: the file must not appear before the
// server listens. Polled without a pause, as the window between the two is short.
TEST(Server, TheSocketAppearsOnlyOnceItAcceptsConnections) {
    for (int start = 0; start < 80; ++start) {
        Emulator emu({}, false);
        const auto giveUp = std::chrono::steady_clock::now() + 5s;
        while (!fs::exists(emu.socket) && std::chrono::steady_clock::now() < giveUp) {
        }
        Client connects(emu);  // a refused connection fails the test
    }
}

// Only the socket's own framing is tried here; the model's refusals are in the model tests.
TEST(Server, MalformedMessagesAreDroppedWhileServingGoesOn) {
    Emulator emu({});
    Client c(emu);
    c.send("W\x05\x01");                     // write before any open
    c.send(std::string("\xff\x00\x01", 3));  // unknown opcode
    c.send(std::string(66000, 'W'));         // longer than any message
    ASSERT_EQ(c.ask(kNormal), "O1");
    EXPECT_EQ(c.ask("Sp"), "SConverter (emulated)");
    EXPECT_EQ(Client(emu).ask("O0e7b-0bf2 trailing"), "O0");
}

TEST(Server, EveryOpenConnectionGetsEachReportAndALeavingIdentityClosesThemAll) {
    Emulator emu({"--report-ms", "1"});
    Client a(emu), b(emu);
    ASSERT_EQ(a.ask(kNormal), "O1");
    ASSERT_EQ(b.ask(kNormal), "O1");
    a.send(frame(conv::frame::kKindMode, conv::modeCode()));
    for (Client* c : {&a, &b}) EXPECT_EQ(c->receive().substr(0, 6), std::string("I\x01\x01\x02\x42\xB0", 6));
    b.send(frame(conv::frame::kKindStartBurn, "A"));
    for (Client* c : {&a, &b}) {
        std::string m;
        for (int i = 0; i < 1000 && (m = c->receive()).starts_with("I"); ++i) {
        }
        EXPECT_EQ(m, "<closed>");
    }
    EXPECT_TRUE(loaderListed(emu));
}

TEST(Server, WritesOfAHostThatExitsWithReportsUnreadStillCount) {
    Emulator emu({"--report-ms", "1"});
    {
        Client sa(emu);
        ASSERT_EQ(sa.ask(kNormal), "O1");
        sa.send(frame(conv::frame::kKindMode, conv::modeCode()));
        std::this_thread::sleep_for(30ms);  // status reports pile up unread
        sa.send(frame(conv::frame::kKindStartBurn, "A"));
    }
    EXPECT_TRUE(loaderListed(emu)) << emu.log();
}

}  // namespace
