// The socket server as a process: bad messages, several clients, a client that never reads,
// connections closed when the identity leaves, and refused start-up arguments.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "conv/packets.h"

namespace {

namespace fs = std::filesystem;

fs::path freshDir() {
    static int n = 0;
    fs::path dir = fs::temp_directory_path() / ("convsim-srv-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// convsim in a child process; stopped with SIGTERM on scope exit.
class Emulator {
public:
    explicit Emulator(std::vector<std::string> extra) : dir_(freshDir()), socket_((dir_ / "s").string()) {
        std::vector<std::string> args{CONVSIM_PATH, "--socket", socket_, "--reenum-ms", "50"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string log = (dir_ / "log").string();
            std::freopen(log.c_str(), "w", stderr);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            std::_Exit(127);
        }
        for (int i = 0; i < 500 && !fs::exists(socket_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ~Emulator() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }
    int stop() {
        int status = 0;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return status;
    }
    std::string log() const {
        std::ifstream in(dir_ / "log");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    const std::string& socket() const { return socket_; }

private:
    fs::path dir_;
    std::string socket_;
    pid_t pid_ = -1;
};

class Client {
public:
    explicit Client(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::string& message) { return ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL) >= 0; }
    // The next message; "" on timeout, "<closed>" when the server closed the connection.
    std::string receive(int timeoutMs = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return "";
        std::string buffer(70000, '\0');
        const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n <= 0) return "<closed>";
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }
    bool open(const char* ids) {
        send(std::string("O") + ids);
        return receive() == "O1";
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string frameMessage(std::uint8_t kind, std::string_view payload) {
    conv::FrameReport f{};
    conv::putFrame(f, kind, payload);
    return "W" + std::string(f.begin(), f.end());
}
std::string modeMessage() { return frameMessage(conv::frame::kKindMode, conv::modeCode()); }

TEST(Server, BadMessagesAreDroppedAndServingGoesOn) {
    Emulator emu({});
    Client c(emu.socket());
    ASSERT_TRUE(c.connected());
    EXPECT_TRUE(c.send("W\x05\x01"));                    // write before any open
    EXPECT_TRUE(c.send(std::string("\xff\x00\x01", 3)));  // unknown opcode
    EXPECT_TRUE(c.send(std::string(66000, 'W')));       // longer than any message
    ASSERT_TRUE(c.open("0e7b 0bf2"));
    EXPECT_TRUE(c.send("O0e7b 0bf2"));  // second open on the same connection
    EXPECT_TRUE(c.send("W"));           // empty write
    EXPECT_TRUE(c.send("W" + std::string(200, '\x05')));
    EXPECT_TRUE(c.send("Sz"));
    EXPECT_EQ(c.receive(), "S");
    EXPECT_TRUE(c.send("Sp"));
    EXPECT_EQ(c.receive(), "SConverter (emulated)");

    Client malformed(emu.socket());
    malformed.send("O0e7b-0bf2 trailing");
    EXPECT_EQ(malformed.receive(), "O0");
    EXPECT_EQ(malformed.receive(), "<closed>");

    Client list(emu.socket());
    list.send("L");
    EXPECT_EQ(list.receive(), "L0e7b 0bf2 convsim:normal EMU-CNV-0001\n");
    const std::string log = emu.log();
    EXPECT_NE(log.find("too long"), std::string::npos) << log;
    EXPECT_NE(log.find("unknown message"), std::string::npos) << log;
    EXPECT_NE(log.find("out of place"), std::string::npos) << log;
    EXPECT_NE(log.find("drops a write of 200 bytes"), std::string::npos) << log;
    EXPECT_EQ(emu.stop(), 0);
}

TEST(Server, EveryOpenConnectionGetsEveryReportAndALeavingIdentityClosesThemAll) {
    Emulator emu({"--report-ms", "1"});
    Client a(emu.socket()), b(emu.socket());
    ASSERT_TRUE(a.open("0e7b 0bf2"));
    ASSERT_TRUE(b.open("0e7b 0bf2"));
    Client loader(emu.socket());
    EXPECT_FALSE(loader.open("0416 a316")) << "only the present identity opens";

    a.send(modeMessage());
    for (Client* c : {&a, &b}) {
        const std::string report = c->receive();
        ASSERT_EQ(report.size(), 33u);
        EXPECT_EQ(report.substr(0, 4), "I\x01\x01\x02");
    }
    b.send(frameMessage(conv::frame::kKindStartBurn, "A"));
    for (Client* c : {&a, &b}) {
        std::string m;
        for (int i = 0; i < 1000 && (m = c->receive()) != "<closed>" && !m.empty();) ++i;
        EXPECT_EQ(m, "<closed>");
    }
    std::string opened;
    for (int i = 0; i < 100 && opened != "O1"; ++i) {
        Client retry(emu.socket());
        retry.send("O0416 a316");
        opened = retry.receive();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(opened, "O1");
}

TEST(Server, WritesOfAHostThatExitsWithReportsUnreadStillCount) {
    Emulator emu({"--report-ms", "1"});
    {
        Client sa(emu.socket());
        ASSERT_TRUE(sa.open("0e7b 0bf2"));
        sa.send(modeMessage());
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // status reports pile up unread
        sa.send(frameMessage(conv::frame::kKindStartBurn, "A"));
    }
    std::string list;
    for (int i = 0; i < 100 && list.find("0416 a316") == std::string::npos; ++i) {
        Client c(emu.socket());
        c.send("L");
        list = c.receive();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(list.find("0416 a316"), std::string::npos) << emu.log();
}

TEST(Server, AClientThatNeverReadsLosesReportsWithoutStallingTheOthers) {
    Emulator emu({"--fault", "flood"});
    Client idle(emu.socket()), reader(emu.socket());
    ASSERT_TRUE(idle.open("0e7b 0bf2"));
    ASSERT_TRUE(reader.open("0e7b 0bf2"));
    int got = 0;
    while (got < 20000 && reader.receive().starts_with("I")) ++got;
    EXPECT_EQ(got, 20000);
    EXPECT_NE(emu.log().find("does not read; dropping its reports"), std::string::npos);
    EXPECT_TRUE(idle.receive().starts_with("I")) << "what fitted is still queued, in order";
}

TEST(Server, RefusesUnknownFaultsAndDamagedStateFilesAtStart) {
    const fs::path dir = freshDir();
    auto runConvsim = [&](const std::string& args) {
        const std::string command = std::string(CONVSIM_PATH) + " --socket " + (dir / "s").string() + " " + args + " 2>" +
                                    (dir / "err").string();
        const int status = std::system(command.c_str());
        std::ifstream in(dir / "err");
        std::stringstream err;
        err << in.rdbuf();
        return std::make_pair(WEXITSTATUS(status), err.str());
    };
    auto [code, err] = runConvsim("--fault unplugged@3");
    EXPECT_NE(code, 0);
    EXPECT_NE(err.find("unknown fault 'unplugged@3'"), std::string::npos) << err;

    std::ofstream(dir / "state") << "convsim-state 1\napplication 10 20\n";
    std::tie(code, err) = runConvsim("--state " + (dir / "state").string());
    EXPECT_NE(code, 0);
    EXPECT_NE(err.find("line 2:"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "s"));
    fs::remove_all(dir);
}

}  // namespace
