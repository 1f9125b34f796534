#pragma once
// Serves the emulated transport on an AF_UNIX SOCK_SEQPACKET socket and drives the device model
// with the real clock. It drives whichever ServedDevice it is given: the emulated converter or a
// recording played back. One thread, one poll loop.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "served_device.h"
#include "serving.h"

namespace convsim {

struct ServerConfig {
    std::string socketPath;
    std::optional<std::string> statePath;
    bool verbose = false;
    bool firstOpenDelay = false;  // the host kernel's 50 ms before the first open completes
};

class Server {
public:
    // One device on port 1-1, saved to config.statePath.
    Server(const ServerConfig& config, ServedDevice& device);
    Server(const ServerConfig& config, const std::vector<PluggedDevice>& devices);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the socket; an error text when that is not possible.
    std::optional<std::string> listen();
    // Serves until SIGINT or SIGTERM; removes the socket. Returns the exit status (the device's).
    int run();

private:
    enum class State { Fresh, Opening, Open };
    struct Connection {
        int fd = -1;
        std::uint64_t id = 0;
        HostRun peer = 0;  // the connecting process
        State state = State::Fresh;
        Identity identity = Identity::None;
        std::size_t slot = 0;  // the converter it opened
        Micros openAt = 0;
        std::uint64_t dropped = 0;
        bool closing = false;
        bool peerGone = false;  // sending failed: the host has gone; drain what it sent, then close
    };

    Micros now() const { return host_.now(); }
    void log(const std::string& line) const { host_.log(line); }
    void acceptAll();
    void readAll(Connection& c);
    void keepForDrainOrClose(Connection& c);
    void handleMessage(Connection& c, const std::uint8_t* data, std::size_t size);
    void handleEvents();
    void deliver(Connection& c, const std::vector<std::uint8_t>& report);
    void completeOpens();
    bool sendMessage(Connection& c, const std::string& message);
    void close(Connection& c, const std::string& why);
    std::string stringFor(char which, std::size_t slot) const;

    struct Slot {
        std::string port;
        ServedDevice* device = nullptr;
        std::unique_ptr<ModelHost> host;  // saves this converter's flash
    };

    ServerConfig config_;
    std::vector<Slot> slots_;
    ModelHost& host_;  // the first converter's: the clock and the log
    int listenFd_ = -1;
    std::vector<Connection> connections_;
    std::uint64_t nextId_ = 1;
};

}  // namespace convsim
