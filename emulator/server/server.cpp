#include "server.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "conv/emuproto.h"
#include "conv/hexfield.h"
#include "conv/usbport.h"

namespace convsim {

namespace {

std::optional<Identity> identityOf(std::string_view ids) {
    for (Identity id : {Identity::Normal, Identity::Loader}) {
        if (ids == hex4(vendorId(id)) + " " + hex4(productId(id))) return id;
    }
    return std::nullopt;
}
}  // namespace

Server::Server(const ServerConfig& config, ServedDevice& device)
    : Server(config,
             std::vector<PluggedDevice>{{std::string(conv::usbport::kDefaultPort), &device, config.statePath}}) {}

Server::Server(const ServerConfig& config, const std::vector<PluggedDevice>& devices)
    : config_(config), slots_([&] {
          std::vector<Slot> slots;
          for (const PluggedDevice& d : devices)
              slots.push_back({d.port, d.device, std::make_unique<ModelHost>(*d.device, d.statePath, config_.verbose)});
          return slots;
      }()),
      host_(*slots_.front().host) {}

Server::~Server() {
    for (Connection& c : connections_)
        if (c.fd >= 0) ::close(c.fd);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(config_.socketPath.c_str());
    }
}

std::optional<std::string> Server::listen() {
    const std::string& path = config_.socketPath;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path))
        return "socket path '" + path + "' must have 1 to " + std::to_string(sizeof(addr.sun_path) - 1) + " characters";
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) return path + " exists and is not a socket";
        // A socket nobody answers on is left over from a killed run: take its place.
        const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        const bool inUse = probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (probe >= 0) ::close(probe);
        if (inUse) return path + " is already served by another process";
        ::unlink(path.c_str());
    }
    // Clients wait for the socket file to appear, and a connect between bind() and listen() is
    // refused: bind under a temporary name and rename once listening (when the name fits).
    sockaddr_un staged = addr;
    const std::string stagedPath = path + "~";
    const bool renamed = stagedPath.size() < sizeof(staged.sun_path);
    if (renamed) {
        std::memcpy(staged.sun_path, stagedPath.c_str(), stagedPath.size() + 1);
        ::unlink(stagedPath.c_str());  // left over from a killed run
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) return std::string("socket: ") + std::strerror(errno);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&staged), sizeof staged) != 0 || ::listen(listenFd_, 64) != 0 ||
        (renamed && ::rename(stagedPath.c_str(), path.c_str()) != 0)) {
        const std::string error = path + ": " + std::strerror(errno);
        ::close(listenFd_);
        listenFd_ = -1;
        if (renamed) ::unlink(stagedPath.c_str());
        return error;
    }
    return std::nullopt;
}

int Server::run() {
    const sigset_t waitMask = ModelHost::catchStopSignals();

    for (const Slot& slot : slots_)
        log("serving " + config_.socketPath + " as " + std::string(identityName(slot.device->identity())) +
            " on port " + slot.port);
    std::vector<pollfd> fds;
    while (ModelHost::stopSignal() == 0) {
        for (Slot& slot : slots_) slot.device->advance(now());
        handleEvents();
        completeOpens();
        for (Slot& slot : slots_) slot.host->saveIfChanged();
        std::erase_if(connections_, [](const Connection& c) { return c.fd < 0; });

        std::optional<Micros> deadline;
        for (const Slot& slot : slots_)
            if (auto due = slot.device->nextDeadline()) deadline = deadline ? std::min(*deadline, *due) : due;
        for (const Connection& c : connections_)
            if (c.state == State::Opening) deadline = deadline ? std::min(*deadline, c.openAt) : c.openAt;
        timespec timeout{};
        timespec* timeoutPtr = host_.timeoutUntil(deadline, timeout);

        fds.clear();
        fds.push_back({listenFd_, POLLIN, 0});
        for (const Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
        const int ready = ::ppoll(fds.data(), fds.size(), timeoutPtr, &waitMask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            log(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        // Connections accepted below are not in `fds`; only the first ones are polled this round.
        const std::size_t polled = fds.size() - 1;
        for (std::size_t i = 0; i < polled; ++i) {
            if (fds[i + 1].revents != 0 && connections_[i].fd >= 0) readAll(connections_[i]);
        }
        if (fds[0].revents & POLLIN) acceptAll();
    }
    if (ModelHost::stopSignal() != 0) log("stopping on " + ModelHost::stopSignalName());
    for (Slot& slot : slots_) slot.host->saveIfChanged();
    for (Connection& c : connections_)
        if (c.fd >= 0) close(c, "emulator stops");
    int status = 0;
    for (Slot& slot : slots_)
        if (const int finished = slot.device->finish(now()); status == 0) status = finished;
    handleEvents();
    return status;
}

void Server::acceptAll() {
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                log(std::string("accept: ") + std::strerror(errno));
            return;
        }
        Connection c;
        c.fd = fd;
        c.id = nextId_++;
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) c.peer = static_cast<HostRun>(peer.pid);
        connections_.push_back(c);
        if (config_.verbose) log("connection " + std::to_string(c.id) + " accepted");
    }
}

void Server::readAll(Connection& c) {
    std::vector<std::uint8_t> buffer(conv::emu::kMaxMessage + 1);
    bool resetSeen = false;
    while (c.fd >= 0) {
        const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR) continue;
            // A host that exits with reports unread makes the first receive fail with ECONNRESET,
            // ahead of the messages it sent before exiting: those still count.
            if (errno == ECONNRESET && !std::exchange(resetSeen, true)) continue;
            close(c, std::string("receive failed: ") + std::strerror(errno));
            return;
        }
        if (n == 0) {
            close(c, "closed by the host");
            return;
        }
        if (static_cast<std::size_t>(n) > conv::emu::kMaxMessage) {
            log("connection " + std::to_string(c.id) + ": message of " + std::to_string(n) +
                " bytes is too long; dropped");
            continue;
        }
        handleMessage(c, buffer.data(), static_cast<std::size_t>(n));
    }
}

void Server::handleMessage(Connection& c, const std::uint8_t* data, std::size_t size) {
    const char opcode = static_cast<char>(data[0]);
    const std::string who = "connection " + std::to_string(c.id) + ": ";
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (opcode) {
        case conv::emu::kEnumerate: {
            if (c.state != State::Fresh) break;
            std::string list(1, conv::emu::kEnumerate);
            for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
                const Identity id = slots_[slot].device->identity();
                if (id == Identity::None) continue;
                list += hex4(vendorId(id)) + " " + hex4(productId(id)) +
                        " convsim:" + (id == Identity::Loader ? "loader" : "normal") + " " +
                        stringFor(conv::emu::kStringSerial, slot) + " " + std::string(conv::emu::kPortField) +
                        slots_[slot].port + "\n";
            }
            sendMessage(c, list);
            close(c, "enumeration answered");
            return;
        }
        case conv::emu::kOpen: {
            if (c.state != State::Fresh) break;
            // tavik-hold marks its opens: it only keeps whatever is present open, so its opens
            // ask the device what is there and are no tool run's open.
            // "vvvv pppp", then the port when one is named (without one: port 1-1).
            const bool holder = body.ends_with(conv::emu::kHolderMark);
            const std::string_view request =
                holder ? body.substr(0, body.size() - conv::emu::kHolderMark.size()) : body;
            const bool wellFormed = request.size() == 9 || (request.size() > 10 && request[9] == ' ');
            const Identity wanted =
                wellFormed ? identityOf(request.substr(0, 9)).value_or(Identity::None) : Identity::None;
            const std::string_view port = request.size() > 10 ? request.substr(10) : conv::usbport::kDefaultPort;
            if (wanted == Identity::None) {
                log(who + "open of '" + std::string(body.substr(0, 16)) + "' is malformed; answered O0");
            }
            const auto slot = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.port == port; });
            ServedDevice* device = slot == slots_.end() ? nullptr : slot->device;
            const bool present = wanted != Identity::None && device != nullptr &&
                                 (holder ? wanted == device->identity() : device->open(wanted, c.peer, now()));
            if (!present) {
                sendMessage(c, "O0");
                close(c, "no such device now");
                return;
            }
            c.identity = wanted;
            c.slot = static_cast<std::size_t>(slot - slots_.begin());
            const bool othersOpen = std::any_of(connections_.begin(), connections_.end(), [&](const Connection& o) {
                return o.fd >= 0 && o.state == State::Open && o.identity == c.identity && o.slot == c.slot;
            });
            if (config_.firstOpenDelay && !othersOpen) {
                c.state = State::Opening;
                c.openAt = now() + kFirstOpenDelay;
            } else {
                c.state = State::Open;
                sendMessage(c, "O1");
            }
            if (config_.verbose) log(who + "opens " + std::string(identityName(wanted)) + " on port " + slot->port);
            handleEvents();  // reports a replayed device sends right after the open
            return;
        }
        case conv::emu::kWrite:
            if (c.state != State::Open) break;
            if (config_.verbose) log(who + "W " + hexDump(data + 1, size - 1));
            slots_[c.slot].device->write(c.identity, std::span(data + 1, size - 1), c.peer, now());
            handleEvents();
            return;
        case conv::emu::kString: {
            const char which = body.empty() ? '\0' : body[0];
            sendMessage(c, std::string(1, conv::emu::kString) +
                               (c.state == State::Open && body.size() == 1 ? stringFor(which, c.slot) : ""));
            return;
        }
        default:
            log(who + "unknown message (opcode 0x" + conv::hexByte(data[0]) + ", " + std::to_string(size) +
                " bytes); dropped");
            return;
    }
    log(who + "message '" + std::string(1, opcode) + "' (" + std::to_string(size) + " bytes) out of place; dropped");
}

std::string Server::stringFor(char which, std::size_t slot) const {
    const Identity identity = slots_[slot].device->identity();
    switch (which) {
        case conv::emu::kStringManufacturer:
        case conv::emu::kStringIndexed1:
            return usbString(identity, UsbString::Manufacturer, slots_[slot].port);
        case conv::emu::kStringProduct:
            return usbString(identity, UsbString::Product, slots_[slot].port);
        case conv::emu::kStringSerial:
            return usbString(identity, UsbString::Serial, slots_[slot].port);
        default:
            return "";
    }
}

void Server::handleEvents() {
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        for (Event& e : slots_[slot].device->takeEvents()) {
            switch (e.kind) {
                case Event::Kind::Input:
                    for (Connection& c : connections_)
                        if (c.fd >= 0 && c.state == State::Open && c.slot == slot && c.identity == e.identity)
                            deliver(c, e.bytes);
                    break;
                case Event::Kind::Left:
                    for (Connection& c : connections_)
                        if (c.fd >= 0 && c.state != State::Fresh && c.slot == slot && c.identity == e.identity)
                            close(c, "device left");
                    break;
                case Event::Kind::Arrived:
                    log(std::string(identityName(e.identity)) + " appears on port " + slots_[slot].port);
                    break;
                case Event::Kind::Note:
                    log(slots_.size() > 1 ? "port " + slots_[slot].port + ": " + e.text : e.text);
                    break;
            }
        }
    }
}

void Server::deliver(Connection& c, const std::vector<std::uint8_t>& report) {
    std::string message(1, conv::emu::kInput);
    message.append(reinterpret_cast<const char*>(report.data()), report.size());
    if (config_.verbose) log("connection " + std::to_string(c.id) + ": I " + hexDump(report.data(), report.size()));
    if (c.peerGone) return;
    const ssize_t n = ::send(c.fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Like a full kernel report queue: the report is lost for this reader only.
        if (c.dropped++ == 0) log("connection " + std::to_string(c.id) + " does not read; dropping its reports");
        return;
    }
    keepForDrainOrClose(c);
}

void Server::keepForDrainOrClose(Connection& c) {
    // A host that has gone may still have messages queued for us (a write-only run exits right
    // after its last write): keep the connection until readAll has taken them and sees the end.
    if (errno == EPIPE || errno == ECONNRESET) {
        c.peerGone = true;
        return;
    }
    close(c, std::string("send failed: ") + std::strerror(errno));
}

void Server::completeOpens() {
    const Micros t = now();
    for (Connection& c : connections_) {
        if (c.fd < 0 || c.state != State::Opening || c.openAt > t) continue;
        c.state = State::Open;
        sendMessage(c, "O1");
    }
}

bool Server::sendMessage(Connection& c, const std::string& message) {
    if (c.peerGone) return false;
    if (::send(c.fd, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
    keepForDrainOrClose(c);
    return false;
}

void Server::close(Connection& c, const std::string& why) {
    if (c.fd < 0) return;
    ::close(c.fd);
    c.fd = -1;
    if (c.dropped > 0) {
        log("connection " + std::to_string(c.id) + " closed (" + why + "); " + std::to_string(c.dropped) +
            " reports dropped unread");
    } else if (config_.verbose) {
        log("connection " + std::to_string(c.id) + " closed (" + why + ")");
    }
}

}  // namespace convsim
