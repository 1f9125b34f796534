#pragma once
// A SOCK_SEQPACKET listener for tests: each connection it accepts goes to the next script, in a
// thread of its own. A connection is shut down after its script unless the script keeps it; all
// are closed when the listener ends.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class ScriptedSocket {
public:
    using Script = std::function<bool(int fd)>;  // true: the connection stays open

    explicit ScriptedSocket(std::string path) : path(std::move(path)) {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, this->path.c_str(), sizeof address.sun_path - 1);
        ::unlink(this->path.c_str());
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener_, 8), 0);
    }
    ~ScriptedSocket() {
        join();
        for (int fd : accepted) ::close(fd);
        ::close(listener_), ::unlink(path.c_str());
    }
    void serve(std::vector<Script> scripts) {
        thread_ = std::thread([this, scripts = std::move(scripts)] {
            for (const auto& script : scripts) {
                accepted.push_back(::accept(listener_, nullptr, nullptr));
                if (!script(accepted.back())) ::shutdown(accepted.back(), SHUT_RDWR);
            }
        });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    static std::string next(int fd) {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    static void put(int fd, const std::string& message) { ::send(fd, message.data(), message.size(), MSG_NOSIGNAL); }

    const std::string path;
    std::vector<int> accepted;

private:
    int listener_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    std::thread thread_;
};
