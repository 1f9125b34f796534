#define FUSE_USE_VERSION 35
#include "hidraw_server.h"

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <linux/hidraw.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "conv/usbport.h"

namespace convsim {

namespace {

constexpr std::uint64_t kRootIno = FUSE_ROOT_ID;

HidrawServer& serverOf(fuse_req_t req) { return *static_cast<HidrawServer*>(fuse_req_userdata(req)); }

const fuse_lowlevel_ops kOperations = [] {
    fuse_lowlevel_ops ops{};
    ops.lookup = [](fuse_req_t req, fuse_ino_t parent, const char* name) { serverOf(req).lookup(req, parent, name); };
    ops.getattr = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info*) { serverOf(req).getattr(req, ino); };
    ops.open = [](fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) { serverOf(req).open(req, ino, fi); };
    ops.release = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi) { serverOf(req).release(req, fi); };
    ops.read = [](fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info* fi) {
        serverOf(req).read(req, size, fi);
    };
    ops.write = [](fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t, fuse_file_info* fi) {
        serverOf(req).write(req, data, size, fi);
    };
    ops.ioctl = [](fuse_req_t req, fuse_ino_t, unsigned int cmd, void*, fuse_file_info* fi, unsigned, const void*,
                   size_t, size_t outSize) { serverOf(req).ioctl(req, cmd, fi, outSize); };
    ops.poll = [](fuse_req_t req, fuse_ino_t, fuse_file_info* fi, fuse_pollhandle* ph) {
        serverOf(req).poll(req, fi, ph);
    };
    return ops;
}();

struct stat nodeAttributes(std::uint64_t ino, mode_t mode) {
    struct stat st {};
    st.st_ino = ino;
    st.st_mode = ino == kRootIno ? (S_IFDIR | 0755) : (S_IFREG | (mode & 07777));
    st.st_nlink = ino == kRootIno ? 2 : 1;
    return st;
}

}  // namespace

HidrawServer::HidrawServer(const HidrawConfig& config, ServedDevice& device)
    : HidrawServer(config,
                   std::vector<PluggedDevice>{{std::string(conv::usbport::kDefaultPort), &device, config.statePath}}) {}

HidrawServer::HidrawServer(const HidrawConfig& config, const std::vector<PluggedDevice>& devices)
    : config_(config), slots_(makeSlots(devices)), host_(*slots_.front().host), sysfs_(config_.sysfsRoot) {}

std::vector<HidrawServer::Slot> HidrawServer::makeSlots(const std::vector<PluggedDevice>& devices) const {
    std::vector<Slot> slots;
    for (const PluggedDevice& d : devices)
        slots.push_back({d.port, d.device, std::make_unique<ModelHost>(*d.device, d.statePath, config_.verbose)});
    return slots;
}

// The node's mode and status-change time: root-only until udev's delay has passed, then the
// configured mode, changed at that moment.
struct stat HidrawServer::attributesOf(std::uint64_t ino) const {
    auto it = nodes_.find(ino);
    if (ino == kRootIno || it == nodes_.end()) return nodeAttributes(ino, config_.nodeMode);
    const Node& node = it->second;
    const bool granted = host_.now() >= node.modeAt;
    struct stat st = nodeAttributes(ino, granted ? config_.nodeMode : 0600);
    st.st_ctim = node.born;
    if (granted && config_.udevDelay > 0) {
        const Micros at = node.born.tv_nsec / 1000 + config_.udevDelay;
        st.st_ctim.tv_sec += static_cast<time_t>(at / 1'000'000);
        st.st_ctim.tv_nsec = static_cast<long>(at % 1'000'000) * 1000;
    }
    st.st_mtim = st.st_atim = st.st_ctim;
    return st;
}

HidrawServer::~HidrawServer() {
    for (auto& [ino, node] : nodes_)
        if (node.present) {
            sysfs_.withdraw(node.entry);
            ::unlink(databaseEntry(node.entry).c_str());
            ::unlink(nodeLink(node.entry).c_str());
        }
    for (auto& [fh, file] : files_)
        if (file.pollHandle != nullptr) fuse_pollhandle_destroy(file.pollHandle);
    if (session_ != nullptr) {
        if (mounted_) fuse_session_unmount(session_);
        fuse_session_destroy(session_);
        ::rmdir(mountDir().c_str());
        ::unlink(readyMark().c_str());
    }
}

std::string HidrawServer::nodeLink(const NodeEntry& entry) const {
    return config_.devDir + "/hidraw" + std::to_string(entry.number);
}

// What libudev reads to tell whether udev has finished with a node: its database entry, named
// by the node's device number (hidraw's major is 241 here, as in the sysfs entries).
std::string HidrawServer::databaseEntry(const NodeEntry& entry) const {
    return config_.udevRoot + "/data/c241:" + std::to_string(entry.number);
}

std::optional<std::string> HidrawServer::start() {
    struct statfs fsInfo {};
    if (::statfs(config_.sysfsRoot.c_str(), &fsInfo) != 0) return config_.sysfsRoot + ": " + std::strerror(errno);
    if (fsInfo.f_type == SYSFS_MAGIC)
        return config_.sysfsRoot +
               " is the system's sysfs: --hidraw serves only inside a private mount namespace "
               "with stand-in /dev and /sys (run it through scripts/hidraw-run)";
    if (auto error = sysfs_.prepare()) return error;
    // udev's database is written only into a file system of its own (hidraw-run mounts one),
    // never into the system's.
    struct stat udevDir {};
    struct stat runDir {};
    const std::string runPath = config_.udevRoot.substr(0, config_.udevRoot.rfind('/'));
    if (::stat(config_.udevRoot.c_str(), &udevDir) != 0 ||
        ::stat(runPath.empty() ? "/" : runPath.c_str(), &runDir) != 0 || udevDir.st_dev == runDir.st_dev)
        return config_.udevRoot +
               " is no file system of its own: --hidraw writes udev's database only into the "
               "stand-in that scripts/hidraw-run mounts";
    std::error_code error;
    std::filesystem::create_directories(config_.udevRoot + "/data", error);
    if (error) return config_.udevRoot + "/data: " + error.message();
    std::filesystem::create_directories(mountDir(), error);
    if (error) return mountDir() + ": " + error.message();

    // The kernel checks the node's mode bits against every user (default_permissions), and
    // every user may reach the mount (allow_other), as with a device node.
    const char* argv[] = {"convsim", "-o", "allow_other,default_permissions,fsname=convsim-hidraw"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    session_ = fuse_session_new(&args, &kOperations, sizeof kOperations, this);
    fuse_opt_free_args(&args);
    if (session_ == nullptr) return "cannot set up the FUSE session";
    if (fuse_session_mount(session_, mountDir().c_str()) != 0) return "cannot mount FUSE on " + mountDir();
    mounted_ = true;
    // The unrelated devices were there first, so they hold the lowest node numbers.
    for (unsigned n = 1; n <= config_.otherHid; ++n) appear(0, Identity::None, n);
    for (std::size_t slot = 0; slot < slots_.size(); ++slot)
        if (slots_[slot].device->identity() != Identity::None) appear(slot, slots_[slot].device->identity());
    // Whoever waits for the stand-in learns here that every device present at the start is
    // published (a converter plugged in later may leave no node yet).
    if (const int fd = ::open(readyMark().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644); fd >= 0) ::close(fd);
    return std::nullopt;
}

int HidrawServer::run() {
    const sigset_t waitMask = ModelHost::catchStopSignals();
    for (const Slot& slot : slots_)
        host_.log("serving hidraw nodes in " + config_.devDir + " as " +
                  std::string(identityName(slot.device->identity())) + " on port " + slot.port);
    fuse_buf buffer{};
    int status = 0;
    while (ModelHost::stopSignal() == 0) {
        for (Slot& slot : slots_) slot.device->advance(host_.now());
        handleEvents();
        followIdentity();
        completeOpens();
        finishUdev();
        for (Slot& slot : slots_) slot.host->saveIfChanged();

        std::optional<Micros> deadline = nextUdevDeadline();
        for (const Slot& slot : slots_)
            if (auto due = slot.device->nextDeadline()) deadline = deadline ? std::min(*deadline, *due) : due;
        for (const Pending& p : pending_)
            if (p.isOpen || p.isWrite) deadline = deadline ? std::min(*deadline, p.due) : p.due;
        timespec timeout{};
        pollfd channel{fuse_session_fd(session_), POLLIN, 0};
        const int ready = ::ppoll(&channel, 1, host_.timeoutUntil(deadline, timeout), &waitMask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            host_.log(std::string("poll failed: ") + std::strerror(errno));
            status = 1;
            break;
        }
        if (ready == 0) continue;
        const int received = fuse_session_receive_buf(session_, &buffer);
        if (received == -EINTR || received == -EAGAIN) continue;
        if (received <= 0) {
            host_.log("the node file system was unmounted from outside");
            status = 1;
            break;
        }
        fuse_session_process_buf(session_, &buffer);
        answerInterrupts();
    }
    std::free(buffer.mem);
    if (ModelHost::stopSignal() != 0) host_.log("stopping on " + ModelHost::stopSignalName());
    if (config_.composite) host_.log("the gamepad interface took " + std::to_string(gamepadWrites_) + " reports");
    for (Slot& slot : slots_) slot.host->saveIfChanged();
    // Readers and writers still waiting learn that the device is gone before the file system goes.
    for (const Pending& p : pending_) fuse_reply_err(p.req, p.isOpen || p.isWrite ? ENODEV : EIO);
    pending_.clear();
    int deviceStatus = 0;
    for (Slot& slot : slots_)
        if (const int finished = slot.device->finish(host_.now()); deviceStatus == 0) deviceStatus = finished;
    handleEvents();
    return status != 0 ? status : deviceStatus;
}

void HidrawServer::handleEvents() {
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        for (Event& e : slots_[slot].device->takeEvents()) {
            switch (e.kind) {
                case Event::Kind::Input:
                    if (!reachesHidraw(declared(e.identity), e.bytes)) {
                        if (host_.verbose())
                            host_.log("I " + hexDump(e.bytes.data(), e.bytes.size()) +
                                      " dropped: the descriptor declares no such input report");
                        break;
                    }
                    for (auto& [fh, file] : files_) {
                        const Node& node = nodes_.at(file.ino);
                        if (node.present && !node.entry.other && !node.entry.gamepad && node.slot == slot &&
                            node.entry.identity == e.identity)
                            deliver(fh, file, e.bytes);
                    }
                    break;
                case Event::Kind::Left:
                    leave(slot, e.identity);
                    break;
                case Event::Kind::Arrived:
                    appear(slot, e.identity);
                    break;
                case Event::Kind::Note:
                    host_.log(slots_.size() > 1 ? "port " + slots_[slot].port + ": " + e.text : e.text);
                    break;
            }
        }
    }
}

const InputReports& HidrawServer::declared(Identity identity) {
    auto it = declared_.find(identity);
    if (it == declared_.end()) it = declared_.emplace(identity, inputReportsOf(reportDescriptor(identity))).first;
    return it->second;
}

// A node's number stays taken while it is present or a file of it is still open: the kernel
// frees a minor only when the last file of a gone device closes.
bool HidrawServer::numberTaken(unsigned number) const {
    for (const auto& [ino, node] : nodes_) {
        if (node.entry.number != number) continue;
        if (node.present) return true;
        for (const auto& [fh, file] : files_)
            if (file.ino == ino) return true;
    }
    return false;
}

// A gone node without open files is no longer needed.
void HidrawServer::forgetIfUnused(std::uint64_t ino) {
    auto it = nodes_.find(ino);
    if (it == nodes_.end() || it->second.present) return;
    for (const auto& [fh, file] : files_)
        if (file.ino == ino) return;
    nodes_.erase(it);
}

// Normal mode under --composite is two interfaces, the gamepad first; every other identity one.
void HidrawServer::appear(std::size_t slot, Identity identity, unsigned other) {
    if (other == 0 && std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& n) {
            return n.second.present && !n.second.entry.other && n.second.slot == slot &&
                   n.second.entry.identity == identity;
        }))
        return;  // announced and followed both: one set of nodes per identity
    const bool composite = other == 0 && config_.composite && identity == Identity::Normal;
    if (composite) addNode(slot, identity, 0, true, 0);
    addNode(slot, identity, other, false, composite ? 1 : 0);
}

// The lowest free node number, as the kernel hands out hidraw minors; the node link comes first
// and the sysfs class link last, so an enumeration never finds a node that is not there yet.
void HidrawServer::addNode(std::size_t slot, Identity identity, unsigned other, bool gamepad, unsigned interface) {
    Node node;
    node.entry.identity = identity;
    node.entry.instance = nextInstance_++;
    node.entry.other = other;
    node.entry.gamepad = gamepad;
    node.entry.interface = interface;
    node.entry.port = other ? "3-" + std::to_string(other) : slots_[slot].port;
    node.slot = slot;
    node.modeAt = host_.now() + config_.udevDelay;
    ::clock_gettime(CLOCK_REALTIME, &node.born);
    while (numberTaken(node.entry.number)) ++node.entry.number;
    const std::uint64_t ino = nextIno_++;
    const std::string link = nodeLink(node.entry);
    ::unlink(link.c_str());
    const std::string target = ".convsim-hidraw/hidraw" + std::to_string(node.entry.number);
    if (::symlink(target.c_str(), link.c_str()) != 0) host_.log("cannot link " + link + ": " + std::strerror(errno));
    nodes_[ino] = node;
    if (auto error = sysfs_.publish(node.entry)) host_.log("cannot write the sysfs entries: " + *error);
    host_.log((other     ? "an unrelated HID device (" + entryString(node.entry, UsbString::Product) + ")"
               : gamepad ? "the gamepad interface of " + std::string(identityName(identity))
                         : std::string(identityName(identity))) +
              " appears as " + link + " on port " + node.entry.port);
    finishUdev();
}

// udev is done with a node when it grants its mode: its database entry is written then, as
// udev writes it (I: the CLOCK_MONOTONIC time in microseconds), to a temporary name first.
void HidrawServer::finishUdev() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    for (auto& [ino, node] : nodes_) {
        if (!node.present || node.inDatabase || host_.now() < node.modeAt) continue;
        node.inDatabase = true;
        const std::string entry = databaseEntry(node.entry);
        const std::string temporary = config_.udevRoot + "/data/.#c241:" + std::to_string(node.entry.number);
        std::FILE* f = std::fopen(temporary.c_str(), "we");
        const bool written =
            f != nullptr &&
            std::fprintf(f, "I:%lld\nV:1\n", static_cast<long long>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000) > 0;
        if (f == nullptr || std::fclose(f) != 0 || !written || ::rename(temporary.c_str(), entry.c_str()) != 0)
            host_.log("cannot write udev's database entry " + entry + ": " + std::strerror(errno));
    }
}

std::optional<Micros> HidrawServer::nextUdevDeadline() const {
    std::optional<Micros> next;
    for (const auto& [ino, node] : nodes_)
        if (node.present && !node.inDatabase) next = next ? std::min(*next, node.modeAt) : node.modeAt;
    return next;
}

// The kernel's hidraw disconnect: the node and its sysfs entries go; the files stay open until
// their owners close them, reading what was queued and then EIO, writing ENODEV, polling
// POLLERR|POLLHUP besides what is ready.
// The node present is the device's identity: a recording played back changes identity without
// announcing it (the emulated converter announces every change, so this finds nothing to do).
void HidrawServer::followIdentity() {
    for (std::size_t slot = 0; slot < slots_.size(); ++slot) {
        const Identity wanted = slots_[slot].device->identity();
        bool present = false;
        for (const auto& [ino, node] : nodes_) {
            if (!node.present || node.entry.other || node.slot != slot) continue;
            if (node.entry.identity == wanted) present = true;
        }
        for (Identity other : {Identity::Loader, Identity::Normal})
            if (other != wanted) leave(slot, other);
        if (!present && wanted != Identity::None) appear(slot, wanted);
    }
}

void HidrawServer::leave(std::size_t slot, Identity identity) {
    std::vector<std::uint64_t> gone;
    for (auto& [ino, node] : nodes_) {
        if (!node.present || node.entry.other || node.slot != slot || node.entry.identity != identity) continue;
        node.present = false;
        sysfs_.withdraw(node.entry);
        ::unlink(databaseEntry(node.entry).c_str());  // udev's remove event deletes it
        // No cached name to drop: entries are never cached (lookup replies carry no time-out), and
        // telling the kernel to drop one here could deadlock against a lookup waiting for us.
        ::unlink(nodeLink(node.entry).c_str());
        const std::uint64_t left = ino;
        std::vector<fuse_req*> opening;
        std::erase_if(pending_, [&](const Pending& p) {
            const bool ofNode = p.isOpen ? p.fh == left : files_.count(p.fh) != 0 && files_.at(p.fh).ino == left;
            if (ofNode && p.isOpen)
                opening.push_back(p.req);
            else if (ofNode)
                fuse_reply_err(p.req, p.isWrite ? ENODEV : EIO);
            return ofNode;
        });
        // The kernel's disconnect waits for an open under way, which then succeeds on a device
        // already gone: the descriptor query and all I/O of that file fail.
        for (fuse_req* req : opening) {
            host_.log("an open of " + nodeLink(node.entry) + " under way as it leaves succeeds on the gone node");
            addFile(req, ino);
        }
        for (auto& [fh, file] : files_)
            if (file.ino == ino) notifyPoll(file);
        host_.log(std::string(identityName(identity)) + " leaves " + nodeLink(node.entry));
        gone.push_back(ino);
    }
    for (std::uint64_t ino : gone) forgetIfUnused(ino);
}

bool HidrawServer::nodePresent(std::uint64_t ino) const {
    auto it = nodes_.find(ino);
    return it != nodes_.end() && it->second.present;
}

HidrawServer::OpenFile* HidrawServer::fileOf(const fuse_file_info* fi) {
    auto it = files_.find(fi->fh);
    return it == files_.end() ? nullptr : &it->second;
}

void HidrawServer::lookup(fuse_req_t req, std::uint64_t parent, const char* name) {
    for (const auto& [ino, node] : nodes_) {
        if (parent != kRootIno || !node.present || "hidraw" + std::to_string(node.entry.number) != name) continue;
        fuse_entry_param entry{};
        entry.ino = ino;
        entry.attr = attributesOf(ino);
        fuse_reply_entry(req, &entry);  // no caching: a re-enumerated node is looked up afresh
        return;
    }
    fuse_reply_err(req, ENOENT);
}

void HidrawServer::getattr(fuse_req_t req, std::uint64_t ino) {
    if (ino != kRootIno && nodes_.count(ino) == 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const struct stat st = attributesOf(ino);
    fuse_reply_attr(req, &st, 0);
}

void HidrawServer::open(fuse_req_t req, std::uint64_t ino, fuse_file_info* fi) {
    if (ino == kRootIno) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if (!nodePresent(ino)) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    // A converter on its way off the bus (slow-leave) holds the open until it has left.
    const Node& node = nodes_.at(ino);
    std::optional<Micros> due = node.entry.other || node.entry.gamepad ? std::nullopt : deviceOf(node).leavesAt();
    const bool held = std::any_of(files_.begin(), files_.end(), [&](const auto& f) { return f.second.ino == ino; });
    if (!due && config_.firstOpenDelay && !held) due = host_.now() + kFirstOpenDelay;
    if (due) {
        pending_.push_back({req, ino, 0, true, fi->flags, *due});
        fuse_req_interrupt_func(
            req, [](fuse_req_t r, void* self) { static_cast<HidrawServer*>(self)->interrupted(r); }, this);
        return;
    }
    replyOpen(req, ino);
}

void HidrawServer::replyOpen(fuse_req_t req, std::uint64_t ino) {
    // The device answers for itself: a recording played back knows which opens it expects.
    // An unrelated device opens, and says so: no tool run should ever open one.
    const HostRun run = static_cast<HostRun>(fuse_req_ctx(req)->pid);
    Node& node = nodes_.at(ino);
    if (node.entry.other || node.entry.gamepad) {
        host_.log("process " + std::to_string(run) + " opens " + nodeLink(node.entry) +
                  (node.entry.other ? ", an unrelated HID device" : ", the gamepad interface"));
    } else if (!deviceOf(node).open(node.entry.identity, run, host_.now())) {
        fuse_reply_err(req, ENODEV);
        handleEvents();
        return;
    }
    addFile(req, ino);
    // What the device says from this open on (a recording's next reports) reaches the new file.
    handleEvents();
}

void HidrawServer::addFile(fuse_req_t req, std::uint64_t ino) {
    fuse_file_info fi{};
    fi.fh = nextFh_++;
    fi.direct_io = 1;  // every read and write reaches us whole, one report each
    fi.nonseekable = 1;
    OpenFile& file = files_[fi.fh];
    file.ino = ino;
    file.run = static_cast<HostRun>(fuse_req_ctx(req)->pid);
    if (fuse_reply_open(req, &fi) != 0)
        files_.erase(fi.fh);  // the opener is gone already
    else if (host_.verbose())
        host_.log("file " + std::to_string(fi.fh) + " opens " + nodeLink(nodes_.at(ino).entry));
}

// Opens past the first-open delay, and writes the device has stopped NAKing, complete.
void HidrawServer::completeOpens() {
    const Micros t = host_.now();
    std::vector<Pending> due;
    std::erase_if(pending_, [&](const Pending& p) {
        if (!(p.isOpen || p.isWrite) || p.due > t) return false;
        due.push_back(p);
        return true;
    });
    for (const Pending& p : due) {
        if (p.isWrite)
            finishWrite(p);
        else if (nodePresent(p.fh))
            replyOpen(p.req, p.fh);
        else
            fuse_reply_err(p.req, ENODEV);
    }
}

void HidrawServer::release(fuse_req_t req, fuse_file_info* fi) {
    if (OpenFile* file = fileOf(fi)) {
        if (file->pollHandle != nullptr) fuse_pollhandle_destroy(file->pollHandle);
        if (file->dropped > 0)
            host_.log("file " + std::to_string(fi->fh) + " closed; " + std::to_string(file->dropped) +
                      " reports dropped unread");
        const std::uint64_t ino = file->ino;
        files_.erase(fi->fh);
        forgetIfUnused(ino);
    }
    fuse_reply_err(req, 0);
}

// What was queued is read even after the device has gone; then EIO, before any EAGAIN.
void HidrawServer::read(fuse_req_t req, std::size_t size, fuse_file_info* fi) {
    OpenFile* file = fileOf(fi);
    if (file != nullptr && !file->queue.empty()) {
        const std::vector<std::uint8_t>& report = file->queue.front();
        fuse_reply_buf(req, reinterpret_cast<const char*>(report.data()), std::min(size, report.size()));
        file->queue.pop();
        return;
    }
    if (file == nullptr || !nodePresent(file->ino)) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (fi->flags & O_NONBLOCK) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    pending_.push_back({req, fi->fh, size, false, 0, 0});
    fuse_req_interrupt_func(
        req, [](fuse_req_t r, void* self) { static_cast<HidrawServer*>(self)->interrupted(r); }, this);
}

void HidrawServer::write(fuse_req_t req, const char* data, std::size_t size, fuse_file_info* fi) {
    OpenFile* file = fileOf(fi);
    if (file == nullptr || !nodePresent(file->ino)) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    if (size < 2) {  // the kernel's shortest report: its number and one byte
        fuse_reply_err(req, EINVAL);
        return;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    if (host_.verbose()) host_.log("file " + std::to_string(fi->fh) + ": W " + hexDump(bytes, size));
    // The write waits for the interrupt-OUT transfer, which the device may NAK for a while, NAK
    // until the USB core gives up, or stall. The wait takes no signal, as the kernel's does not.
    const std::uint64_t n = ++writes_;
    const WriteFaults& faults = config_.writeFaults;
    Pending write{req, fi->fh, size, false, 0, 0, true, std::vector<std::uint8_t>(bytes, bytes + size), 0};
    Micros naked = 0;
    std::string fault;
    if (faults.stall == n) {
        write.error = EPIPE;
        fault = " stalls: EPIPE";
    } else if (faults.timeout == n) {
        write.error = ETIMEDOUT;
        naked = kOutTransferTimeoutUs;
        fault = " is NAKed until the USB core gives up: ETIMEDOUT";
    } else if (faults.slow == n) {
        naked = faults.slowMs * 1000;
        fault = " is NAKed for " + std::to_string(faults.slowMs) + " ms";
    }
    if (!fault.empty()) host_.log("write " + std::to_string(n) + fault);
    if (naked == 0) {
        finishWrite(write);
        return;
    }
    write.due = host_.now() + naked;
    pending_.push_back(std::move(write));
}

// The transfer ends: the device takes the report, or the write fails and the device gets nothing.
void HidrawServer::finishWrite(const Pending& write) {
    OpenFile* file = files_.count(write.fh) != 0 ? &files_.at(write.fh) : nullptr;
    if (file == nullptr || !nodePresent(file->ino)) {
        fuse_reply_err(write.req, ENODEV);
        return;
    }
    if (write.error != 0) {
        fuse_reply_err(write.req, write.error);
        return;
    }
    const Node& node = nodes_.at(file->ino);
    if (node.entry.gamepad) {
        ++gamepadWrites_;
        host_.log("process " + std::to_string(file->run) + " writes a report to " + nodeLink(node.entry) +
                  ", the gamepad interface, which takes none");
    } else if (!node.entry.other) {
        deviceOf(node).write(node.entry.identity, write.report, file->run, host_.now());
    }
    fuse_reply_write(write.req, write.size);
    handleEvents();
}

// Only the size-encoded HIDIOC* requests reach us (restricted FUSE ioctls); those that read the
// descriptor and the device's ids are answered, everything else is not a hidraw request.
void HidrawServer::ioctl(fuse_req_t req, unsigned cmd, fuse_file_info* fi, std::size_t outSize) {
    OpenFile* file = fileOf(fi);
    if (file == nullptr || !nodePresent(file->ino)) {
        fuse_reply_err(req, ENODEV);
        return;
    }
    const NodeEntry& entry = nodes_.at(file->ino).entry;
    const std::vector<std::uint8_t> descriptor = entryDescriptor(entry);
    if (cmd == HIDIOCGRDESCSIZE && outSize == sizeof(int)) {
        const int size = static_cast<int>(descriptor.size());
        fuse_reply_ioctl(req, 0, &size, sizeof size);
    } else if (cmd == HIDIOCGRDESC && outSize == sizeof(hidraw_report_descriptor)) {
        hidraw_report_descriptor answer{};
        answer.size = static_cast<std::uint32_t>(descriptor.size());
        std::copy(descriptor.begin(), descriptor.end(), answer.value);
        fuse_reply_ioctl(req, 0, &answer, sizeof answer);
    } else if (cmd == HIDIOCGRAWINFO && outSize == sizeof(hidraw_devinfo)) {
        hidraw_devinfo info{};
        info.bustype = 3;  // BUS_USB
        info.vendor = static_cast<std::int16_t>(entryVendorId(entry));
        info.product = static_cast<std::int16_t>(entryProductId(entry));
        fuse_reply_ioctl(req, 0, &info, sizeof info);
    } else {
        fuse_reply_err(req, ENOTTY);
    }
}

// Always writable; readable while a report waits; POLLERR|POLLHUP besides once the device is gone.
void HidrawServer::poll(fuse_req_t req, fuse_file_info* fi, fuse_pollhandle* ph) {
    OpenFile* file = fileOf(fi);
    unsigned events = POLLOUT | POLLWRNORM;
    if (file != nullptr && !file->queue.empty()) events |= POLLIN | POLLRDNORM;
    if (file == nullptr || !nodePresent(file->ino)) events |= POLLERR | POLLHUP;
    if (ph != nullptr) {
        if (file != nullptr) {
            if (file->pollHandle != nullptr) fuse_pollhandle_destroy(file->pollHandle);
            file->pollHandle = ph;
        } else {
            fuse_pollhandle_destroy(ph);
        }
    }
    fuse_reply_poll(req, events);
}

void HidrawServer::notifyPoll(OpenFile& file) {
    if (file.pollHandle == nullptr) return;
    fuse_lowlevel_notify_poll(file.pollHandle);
    fuse_pollhandle_destroy(file.pollHandle);
    file.pollHandle = nullptr;
}

// A report for one reader: straight to its waiting read, else into its queue, which drops it when full.
void HidrawServer::deliver(std::uint64_t fh, OpenFile& file, const std::vector<std::uint8_t>& report) {
    if (host_.verbose()) host_.log("file " + std::to_string(fh) + ": I " + hexDump(report.data(), report.size()));
    auto waiting = std::find_if(pending_.begin(), pending_.end(),
                                [&](const Pending& p) { return !p.isOpen && !p.isWrite && p.fh == fh; });
    if (waiting != pending_.end()) {
        fuse_reply_buf(waiting->req, reinterpret_cast<const char*>(report.data()),
                       std::min(waiting->size, report.size()));
        pending_.erase(waiting);
        return;
    }
    if (!file.queue.push(report)) {
        if (file.dropped++ == 0)
            host_.log("file " + std::to_string(fh) + " does not read; dropping the reports its full queue cannot take");
        return;
    }
    notifyPoll(file);
}

void HidrawServer::interrupted(fuse_req_t req) { interrupted_.push_back(req); }

// Called outside the FUSE dispatch: a signalled reader (or opener) is released with EINTR.
void HidrawServer::answerInterrupts() {
    for (fuse_req_t req : interrupted_) {
        auto it = std::find_if(pending_.begin(), pending_.end(), [&](const Pending& p) { return p.req == req; });
        if (it == pending_.end()) continue;
        fuse_reply_err(req, EINTR);
        pending_.erase(it);
    }
    interrupted_.clear();
}

}  // namespace convsim
