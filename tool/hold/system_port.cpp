#include "hold/system_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "conv/emuclient.h"
#include "conv/packets.h"
#include "conv/usbport.h"

namespace tavik::hold {

namespace {

struct Identity {
    unsigned vid, pid;
};
// The loader first: during an update it is the identity most tool runs open.
constexpr Identity kIdentities[] = {{conv::kLoaderVid, conv::kLoaderPid}, {conv::kNormalVid, conv::kNormalPid}};

class Fds final : public Held {
public:
    ~Fds() override {
        for (int fd : fds) ::close(fd);
    }
    std::vector<int> fds;
};

// Polls the held descriptors for a hang-up (no events asked: only HUP/ERR are reported, so
// queued reports are never read) and the stop descriptor for its end.
class PollingPort : public Port {
public:
    explicit PollingPort(int stopFd) : stopFd_(stopFd) {}

    Wake wait(const Held* held, int timeoutMs) override {
        std::vector<pollfd> fds{{stopFd_, POLLIN, 0}};
        if (const auto* open = dynamic_cast<const Fds*>(held))
            for (int fd : open->fds) fds.push_back({fd, 0, 0});
        for (;;) {
            const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return Wake::Stop;
            if (ready == 0) return Wake::TimedOut;
            if (fds[0].revents != 0) {
                char discard[256];
                const ssize_t n = ::read(stopFd_, discard, sizeof discard);
                if (n <= 0 && !(n < 0 && errno == EINTR)) return Wake::Stop;
            }
            for (std::size_t i = 1; i < fds.size(); ++i)
                if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) return Wake::DeviceGone;
        }
    }

private:
    int stopFd_;
};

class EmulatedPort final : public PollingPort {
public:
    EmulatedPort(std::string socketPath, int stopFd, std::string usbPort)
        : PollingPort(stopFd), path_(std::move(socketPath)), usbPort_(std::move(usbPort)) {}

    std::unique_ptr<Held> openPresent() override {
        for (const Identity& id : kIdentities)
            if (int fd = open(id); fd >= 0) {
                auto held = std::make_unique<Fds>();
                held->fds.push_back(fd);
                return held;
            }
        return nullptr;
    }

private:
    // "Ovvvv pppp hold" (pinned: "Ovvvv pppp PORT hold") on a fresh connection, which becomes
    // the open device when "O1" comes.
    int open(const Identity& id) const {
        std::string why;
        conv::emu::Connection connection = conv::emu::connectTo(path_, why);
        if (!connection.valid()) return -1;
        const std::string request = conv::emu::openRequest(static_cast<std::uint16_t>(id.vid),
                                                           static_cast<std::uint16_t>(id.pid), usbPort_, true);
        if (conv::emu::requestOpen(connection, request, why) != conv::emu::OpenReply::Opened) return -1;
        return connection.release();
    }

    std::string path_;
    std::string usbPort_;
};

// Every hidraw node whose HID_ID names the identity is held, so whichever one the tool opens is
// already open.
class HidrawPort final : public PollingPort {
public:
    HidrawPort(std::string sysfsRoot, std::string devDir, int stopFd, std::string usbPort)
        : PollingPort(stopFd), root_(std::move(sysfsRoot)), devDir_(std::move(devDir)), usbPort_(std::move(usbPort)) {}

    std::unique_ptr<Held> openPresent() override {
        for (const Identity& id : kIdentities) {
            auto held = std::make_unique<Fds>();
            for (const std::string& node : nodesOf(id)) {
                const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
                if (fd >= 0) held->fds.push_back(fd);
            }
            if (!held->fds.empty()) return held;
        }
        return nullptr;
    }

private:
    std::vector<std::string> nodesOf(const Identity& id) const {
        if (!usbPort_.empty()) {
            // Pinned: the one node of the device on that port, read straight from its sysfs entry.
            const auto device = conv::usbport::deviceOnPort(root_, usbPort_);
            if (!device || device->vendorId != id.vid || device->productId != id.pid || device->node.empty()) return {};
            return {devDir_ + "/" + device->node};
        }
        // HID_ID=0003:00000416:0000A316 (bus, vendor, product) in the node's HID device.
        char wanted[32];
        std::snprintf(wanted, sizeof wanted, ":%08X:%08X", id.vid, id.pid);
        std::vector<std::string> nodes;
        const std::string classDir = root_ + "/class/hidraw";
        DIR* dir = ::opendir(classDir.c_str());
        if (dir == nullptr) return nodes;
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::FILE* uevent = std::fopen((classDir + "/" + entry->d_name + "/device/uevent").c_str(), "re");
            if (uevent == nullptr) continue;
            char line[256];
            while (std::fgets(line, sizeof line, uevent)) {
                line[std::strcspn(line, "\n")] = '\0';
                if (std::strncmp(line, "HID_ID=", 7) == 0 && std::strlen(line) == 11 + std::strlen(wanted) &&
                    std::strcmp(line + 11, wanted) == 0) {
                    nodes.push_back(devDir_ + "/" + entry->d_name);
                }
            }
            std::fclose(uevent);
        }
        ::closedir(dir);
        return nodes;
    }

    std::string root_;
    std::string devDir_;
    std::string usbPort_;
};

}  // namespace

std::unique_ptr<Port> makeEmulatedPort(std::string socketPath, int stopFd, std::string usbPort) {
    return std::make_unique<EmulatedPort>(std::move(socketPath), stopFd, std::move(usbPort));
}

std::unique_ptr<Port> makeHidrawPort(std::string sysfsRoot, std::string devDir, int stopFd, std::string usbPort) {
    return std::make_unique<HidrawPort>(std::move(sysfsRoot), std::move(devDir), stopFd, std::move(usbPort));
}

}  // namespace tavik::hold
