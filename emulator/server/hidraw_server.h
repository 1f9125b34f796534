#pragma once
// Serves the device model as Linux hidraw nodes: a FUSE file per present identity (linked from
// /dev/hidrawN) behaving like the kernel's hidraw character device, plus the sysfs entries that
// libudev and hidapi enumerate. Meant to run inside a private mount namespace whose /dev and /sys
// are tmpfs stand-ins (scripts/hidraw-run makes one); it refuses to start on the system's sysfs.
// One thread, one poll loop over the FUSE channel and the model's deadlines.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_model.h"
#include "hidraw_rules.h"
#include "serving.h"
#include "sysfs_tree.h"

struct fuse_session;
struct fuse_pollhandle;
struct fuse_req;
struct fuse_file_info;

namespace convsim {

struct HidrawConfig {
    std::optional<std::string> statePath;
    bool verbose = false;
    bool firstOpenDelay = false;  // the host kernel's 50 ms before the first open completes
    mode_t nodeMode = 0666;
    // Every new node first appears root-only (0600) and takes nodeMode this much later, as
    // udev grants access a moment after the kernel creates the node; its udev database entry
    // appears then too.
    Micros udevDelay = 0;
    // Normal mode shows an input-only gamepad interface before the one that takes the frames.
    bool composite = false;
    // Unrelated HID devices (keyboards, mice) on ports 3-1, 3-2, ...: they never answer.
    unsigned otherHid = 0;
    std::string devDir = "/dev";
    std::string sysfsRoot = "/sys";
    std::string udevRoot = "/run/udev";  // udev's database: data/c241:N once udev is done with node N
    WriteFaults writeFaults;             // NAKed, timed-out and stalled interrupt-OUT writes
};

class HidrawServer {
public:
    // One device on port 1-1, saved to config.statePath.
    HidrawServer(const HidrawConfig& config, ServedDevice& device);
    HidrawServer(const HidrawConfig& config, const std::vector<PluggedDevice>& devices);
    ~HidrawServer();
    HidrawServer(const HidrawServer&) = delete;
    HidrawServer& operator=(const HidrawServer&) = delete;

    // Mounts the node file system and publishes the identity present; an error text when that
    // is not possible.
    std::optional<std::string> start();
    // Serves until SIGINT or SIGTERM; withdraws the nodes and unmounts. Returns the exit status.
    int run();

    // The file system's operations (called through the FUSE dispatch table).
    void lookup(fuse_req* req, std::uint64_t parent, const char* name);
    void getattr(fuse_req* req, std::uint64_t ino);
    void open(fuse_req* req, std::uint64_t ino, fuse_file_info* fi);
    void release(fuse_req* req, fuse_file_info* fi);
    void read(fuse_req* req, std::size_t size, fuse_file_info* fi);
    void write(fuse_req* req, const char* data, std::size_t size, fuse_file_info* fi);
    void ioctl(fuse_req* req, unsigned cmd, fuse_file_info* fi, std::size_t outSize);
    void poll(fuse_req* req, fuse_file_info* fi, fuse_pollhandle* ph);
    void interrupted(fuse_req* req);

private:
    struct Node {
        NodeEntry entry;
        bool present = true;
        std::size_t slot = 0;  // the converter's place in slots_ (unused for unrelated devices)
        Micros modeAt = 0;     // when udev gives it its mode and writes its database entry
        bool inDatabase = false;
        timespec born{};  // wall-clock time it appeared
    };
    struct Slot {
        std::string port;
        ServedDevice* device = nullptr;
        std::unique_ptr<ModelHost> host;  // saves this converter's flash
    };
    struct OpenFile {
        std::uint64_t ino = 0;
        HostRun run = 0;  // the process that opened it
        HidrawQueue queue;
        std::uint64_t dropped = 0;
        fuse_pollhandle* pollHandle = nullptr;
    };
    // A request answered later: a blocking read waiting for a report, an open waiting out the
    // first-open delay or a converter's leaving, or a write the device NAKs.
    struct Pending {
        fuse_req* req = nullptr;
        std::uint64_t fh = 0;  // read, write: the file; open: the node's inode
        std::size_t size = 0;  // read: the reader's buffer; write: the report's size
        bool isOpen = false;
        int flags = 0;   // open: the open flags
        Micros due = 0;  // open, write: when it completes
        bool isWrite = false;
        std::vector<std::uint8_t> report{};  // write: the report, for the device once taken
        int error = 0;                       // write: its failure (0: the device takes it)
    };

    void handleEvents();
    void appear(std::size_t slot, Identity identity, unsigned other = 0);
    void addNode(std::size_t slot, Identity identity, unsigned other, bool gamepad, unsigned interface);
    void finishUdev();
    std::optional<Micros> nextUdevDeadline() const;
    std::string databaseEntry(const NodeEntry& entry) const;
    void leave(std::size_t slot, Identity identity);
    ServedDevice& deviceOf(const Node& node) { return *slots_[node.slot].device; }
    std::vector<Slot> makeSlots(const std::vector<PluggedDevice>& devices) const;
    struct stat attributesOf(std::uint64_t ino) const;
    void followIdentity();
    void completeOpens();
    void finishWrite(const Pending& write);
    void answerInterrupts();
    void replyOpen(fuse_req* req, std::uint64_t ino);
    void addFile(fuse_req* req, std::uint64_t ino);
    void deliver(std::uint64_t fh, OpenFile& file, const std::vector<std::uint8_t>& report);
    void notifyPoll(OpenFile& file);
    bool nodePresent(std::uint64_t ino) const;
    bool numberTaken(unsigned number) const;
    void forgetIfUnused(std::uint64_t ino);
    const InputReports& declared(Identity identity);
    OpenFile* fileOf(const fuse_file_info* fi);
    std::string nodeLink(const NodeEntry& entry) const;
    std::string mountDir() const { return config_.devDir + "/.convsim-hidraw"; }
    std::string readyMark() const { return config_.devDir + "/.convsim-ready"; }

    HidrawConfig config_;
    std::vector<Slot> slots_;
    ModelHost& host_;  // the first converter's: the clock and the log
    SysfsTree sysfs_;
    fuse_session* session_ = nullptr;
    bool mounted_ = false;
    std::map<std::uint64_t, Node> nodes_;  // by inode; gone nodes stay for the files still open
    std::uint64_t nextIno_ = 2;            // 1 is the directory
    unsigned nextInstance_ = 1;
    std::map<std::uint64_t, OpenFile> files_;  // by file handle
    std::uint64_t nextFh_ = 1;
    std::vector<Pending> pending_;
    std::vector<fuse_req*> interrupted_;
    std::map<Identity, InputReports> declared_;  // what each identity's descriptor declares
    std::uint64_t writes_ = 0;                   // reports written, for the write faults
    std::uint64_t gamepadWrites_ = 0;            // reports written to a gamepad interface
};

}  // namespace convsim
