// The emulated back end: the emulated converter's AF_UNIX SOCK_SEQPACKET protocol.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>

#include "conv/emuclient.h"
#include "conv/emuproto.h"
#include "conv/hexfield.h"
#include "conv/usbport.h"
#include "hid/transport.h"

namespace tavik::hid {

namespace {

using conv::emu::Connection;
using conv::emu::Message;
using conv::emu::receive;
using conv::emu::Received;
using conv::emu::sendMessage;
using conv::emu::sendText;

std::string hexId(std::uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", id);
    return text;
}

class EmulatedDevice final : public Device {
public:
    explicit EmulatedDevice(Connection socket) : socket_(std::move(socket)) {}

    int write(std::span<const std::uint8_t> data) override {
        if (closed_) return -1;
        if (!sendMessage(socket_, conv::emu::kWrite, data)) {
            closed_ = true;
            return -1;
        }
        return static_cast<int>(data.size());
    }
    // A write fails only when the connection has closed: the device is gone.
    WriteFailure lastWriteFailure() const override { return WriteFailure::Gone; }

    int read(std::span<std::uint8_t> data, int timeoutMs) override {
        if (pending_.empty() && !closed_) {
            if (!awaitInput(timeoutMs)) return closed_ ? -1 : 0;
        }
        if (pending_.empty()) return -1;
        const Message report = std::move(pending_.front());
        pending_.pop_front();
        const std::size_t count = std::min(report.size(), data.size());
        std::copy_n(report.begin(), count, data.begin());
        return static_cast<int>(count);
    }

    std::optional<std::string> getString(StringKind kind) override {
        if (closed_) return std::nullopt;
        const char letter[] = {kindLetter(kind)};
        if (!sendText(socket_, conv::emu::kString, {letter, 1})) {
            closed_ = true;
            return std::nullopt;
        }
        Message message;
        for (;;) {
            if (receive(socket_, message, kBlocking) != Received::Message) {
                closed_ = true;
                return std::nullopt;
            }
            if (message[0] == conv::emu::kInput) {
                pending_.emplace_back(message.begin() + 1, message.end());  // kept for later reads
            } else if (message[0] == conv::emu::kString) {
                if (message.size() == 1) return std::nullopt;
                return std::string(message.begin() + 1, message.end());
            }
        }
    }

private:
    static char kindLetter(StringKind kind) {
        switch (kind) {
            case StringKind::Manufacturer:
                return conv::emu::kStringManufacturer;
            case StringKind::Product:
                return conv::emu::kStringProduct;
            case StringKind::SerialNumber:
                return conv::emu::kStringSerial;
            case StringKind::Indexed1:
                return conv::emu::kStringIndexed1;
        }
        return conv::emu::kStringSerial;
    }

    // Waits for the next input report and queues it; false on time-out or a closed connection.
    bool awaitInput(int timeoutMs) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        Message message;
        for (;;) {
            int wait = kBlocking;
            if (timeoutMs >= 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
            }
            const Received got = receive(socket_, message, wait);
            if (got == Received::TimedOut) return false;
            if (got == Received::Closed) {
                closed_ = true;
                return false;
            }
            if (message[0] == conv::emu::kInput) {
                pending_.emplace_back(message.begin() + 1, message.end());
                return true;
            }
            // Anything else is not for a reader: drop it and keep waiting.
        }
    }

    Connection socket_;
    std::deque<Message> pending_;
    bool closed_ = false;
};

class EmulatedTransport final : public Transport {
public:
    EmulatedTransport(std::string socketPath, std::string port)
        : path_(std::move(socketPath)), port_(std::move(port)) {}

    std::vector<DeviceInfo> enumerate() override {
        std::vector<DeviceInfo> devices;
        std::string why;
        Connection socket = conv::emu::connectTo(path_, why);
        Message message;
        if (!socket.valid() || !sendText(socket, conv::emu::kEnumerate, {}) ||
            receive(socket, message, kBlocking) != Received::Message || message[0] != conv::emu::kEnumerate) {
            return devices;
        }
        const std::string list(message.begin() + 1, message.end());
        std::size_t pos = 0;
        while (pos < list.size()) {
            std::size_t end = list.find('\n', pos);
            if (end == std::string::npos) end = list.size();
            if (auto info = parseListLine(std::string_view(list).substr(pos, end - pos))) devices.push_back(*info);
            pos = end + 1;
        }
        return devices;
    }

    OpenResult open(std::uint16_t vendorId, std::uint16_t productId) override {
        OpenResult result;
        result.port = port_.empty() ? std::string(conv::usbport::kDefaultPort) : port_;
        result.node = path_;
        std::string why;
        Connection socket = conv::emu::connectTo(path_, why);
        if (socket.valid()) {
            // Unpinned, the request names no port, exactly as before ports were known.
            const std::string request = conv::emu::openRequest(vendorId, productId, port_, false);
            switch (conv::emu::requestOpen(socket, request, why)) {
                case conv::emu::OpenReply::Opened:
                    result.status = OpenStatus::Opened;
                    result.device = std::make_unique<EmulatedDevice>(std::move(socket));
                    return result;
                case conv::emu::OpenReply::Absent:
                    return result;  // no such device now
                case conv::emu::OpenReply::Failed:
                    break;
            }
        }
        result.status = OpenStatus::Refused;
        result.detail = "tavik: emulated converter " + hexId(vendorId) + ":" + hexId(productId) + " at " + path_ +
                        " cannot be opened (" + why + "); is the emulator running on that socket?";
        return result;
    }

    std::vector<DeviceInfo> converters() override {
        std::vector<DeviceInfo> found = Transport::converters();
        if (!port_.empty()) std::erase_if(found, [&](const DeviceInfo& d) { return d.port != port_; });
        return found;
    }

private:
    // "vvvv pppp PATH SERIAL port=PORT"; the serial may be missing, the port too (then it is
    // the default port).
    static std::optional<DeviceInfo> parseListLine(std::string_view line) {
        std::vector<std::string_view> fields;
        std::size_t pos = 0;
        while (pos < line.size()) {
            const std::size_t end = std::min(line.find(' ', pos), line.size());
            if (end > pos) fields.push_back(line.substr(pos, end - pos));
            pos = end + 1;
        }
        if (fields.size() < 3) return std::nullopt;
        // Exactly four hexadecimal digits each: a sign, a prefix or an out-of-range number is
        // not an identity.
        const auto vid = conv::parseHexWord(fields[0]);
        const auto pid = conv::parseHexWord(fields[1]);
        if (!vid || !pid) return std::nullopt;
        DeviceInfo info;
        info.vendorId = *vid;
        info.productId = *pid;
        info.path = fields[2];
        info.port = conv::usbport::kDefaultPort;
        for (std::size_t i = 3; i < fields.size(); ++i) {
            if (fields[i].starts_with(conv::emu::kPortField)) {
                info.port = fields[i].substr(conv::emu::kPortField.size());
            } else if (i == 3) {
                info.serial = fields[i];
            }
        }
        return info;
    }

    std::string path_;
    std::string port_;
};

}  // namespace

std::unique_ptr<Transport> makeEmulatedTransport(std::string socketPath, std::string port) {
    return std::make_unique<EmulatedTransport>(std::move(socketPath), std::move(port));
}

}  // namespace tavik::hid
