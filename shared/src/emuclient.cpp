#include "conv/emuclient.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "conv/emuproto.h"

namespace conv::emu {

std::optional<std::string> socketFromEnvironment() {
    const char* path = std::getenv(kSocketEnv);
    if (path == nullptr || *path == '\0') return std::nullopt;
    return std::string(path);
}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void Connection::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int Connection::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

Connection connectTo(const std::string& path, std::string& why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        why = "socket path is longer than " + std::to_string(sizeof address.sun_path - 1) + " characters";
        return {};
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Connection connection(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!connection.valid()) {
        why = std::string("socket(): ") + std::strerror(errno);
        return {};
    }
    while (::connect(connection.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EINTR) continue;
        why = std::string("connect(): ") + std::strerror(errno);
        return {};
    }
    return connection;
}

bool sendMessage(const Connection& connection, char opcode, std::span<const std::uint8_t> body) {
    Message message;
    message.reserve(body.size() + 1);
    message.push_back(static_cast<std::uint8_t>(opcode));
    message.insert(message.end(), body.begin(), body.end());
    for (;;) {
        const ssize_t sent = ::send(connection.fd(), message.data(), message.size(), MSG_NOSIGNAL);
        if (sent >= 0) return static_cast<std::size_t>(sent) == message.size();
        if (errno != EINTR) return false;
    }
}

bool sendText(const Connection& connection, char opcode, std::string_view body) {
    return sendMessage(connection, opcode, {reinterpret_cast<const std::uint8_t*>(body.data()), body.size()});
}

Received receive(const Connection& connection, Message& message, int timeoutMs) {
    if (timeoutMs >= 0) {
        pollfd waitFor{connection.fd(), POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&waitFor, 1, timeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready == 0) return Received::TimedOut;
        if (ready < 0) return Received::Closed;
    }
    message.resize(kMaxMessage);
    for (;;) {
        const ssize_t got = ::recv(connection.fd(), message.data(), message.size(), 0);
        if (got > 0) {
            message.resize(static_cast<std::size_t>(got));
            return Received::Message;
        }
        // Every message carries an opcode, so zero bytes means the emulator closed the connection.
        if (got == 0 || errno != EINTR) return Received::Closed;
    }
}

std::string openRequest(std::uint16_t vendorId, std::uint16_t productId, std::string_view port, bool holder) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x %04x", vendorId, productId);
    std::string request = ids;
    if (!port.empty()) request.append(" ").append(port);
    if (holder) request.append(kHolderMark);
    return request;
}

OpenReply requestOpen(const Connection& connection, std::string_view request, std::string& why) {
    Message reply;
    if (!sendText(connection, kOpen, request)) {
        why = std::string("send(): ") + std::strerror(errno);
        return OpenReply::Failed;
    }
    if (receive(connection, reply, -1) != Received::Message) {
        why = "the emulator closed the connection without answering the open";
        return OpenReply::Failed;
    }
    if (reply.size() == 2 && reply[0] == kOpen && reply[1] == '1') return OpenReply::Opened;
    if (reply.size() == 2 && reply[0] == kOpen && reply[1] == '0') return OpenReply::Absent;
    why = "the emulator answered the open with an unknown message";
    return OpenReply::Failed;
}

}  // namespace conv::emu
