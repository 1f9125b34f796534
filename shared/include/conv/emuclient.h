#pragma once
// The client side of the emulated transport (see emuproto.h): one connection to the emulated
// converter's socket, its messages, and the open request. tavik's emulated back end and
// tavik-hold both speak through it, so they send the same bytes.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace conv::emu {

using Message = std::vector<std::uint8_t>;

// One connection; closes its descriptor on destruction.
class Connection {
public:
    Connection() = default;
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() { reset(); }
    Connection(Connection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset();
    // Hands the descriptor to the caller, who closes it.
    int release();

private:
    int fd_ = -1;
};

// The socket the environment names (kSocketEnv): when it is set and not empty, the emulated
// converter serves the run instead of the USB devices.
std::optional<std::string> socketFromEnvironment();

// Connects to the emulator's socket, retrying an interrupted connect; on failure returns an
// invalid connection and says why in `why`.
Connection connectTo(const std::string& path, std::string& why);

// Sends one message: the opcode, then the body. False when the connection is gone.
bool sendMessage(const Connection& connection, char opcode, std::span<const std::uint8_t> body);
bool sendText(const Connection& connection, char opcode, std::string_view body);

enum class Received { Message, TimedOut, Closed };

// Receives one message, waiting at most timeoutMs (negative: no limit).
Received receive(const Connection& connection, Message& message, int timeoutMs);

// The body of an open request: "vvvv pppp", then " PORT" when a port is pinned, then the
// holder's mark when tavik-hold asks.
std::string openRequest(std::uint16_t vendorId, std::uint16_t productId, std::string_view port, bool holder);

enum class OpenReply { Opened, Absent, Failed };

// Sends the open request on a fresh connection and reads the answer: Opened ("O1", the
// connection is now the open device), Absent ("O0") or Failed (saying why in `why`).
OpenReply requestOpen(const Connection& connection, std::string_view request, std::string& why);

}  // namespace conv::emu
