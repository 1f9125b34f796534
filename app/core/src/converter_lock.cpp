// flock(2) on the lock folder's files; see converter_lock.h.
#include "quill/converter_lock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>

#include "conv/usbport.h"

namespace quill {
namespace {

constexpr std::string_view kPortPrefix = "quillmere-port-";
constexpr std::string_view kSuffix = ".lock";
constexpr std::string_view kUnknownHolder = "name and process unknown";
// A holder writes its name just after taking its lock: a refused updater looks this often, 5 ms apart.
constexpr int kNameLooks = 20;

std::string errorText(int error) { return std::strerror(error); }

// "quillmere-port-1-1.4.lock", or "quillmere-host.lock" for an empty port.
std::string lockFileName(const std::string& port) {
    return port.empty() ? "quillmere-host" + std::string(kSuffix)
                        : std::string(kPortPrefix) + port + std::string(kSuffix);
}

LockAttempt failed(std::string why) { return {LockAttempt::Status::Failed, {}, {}, std::move(why)}; }
LockAttempt busy(std::string port, std::string holder) {
    return {LockAttempt::Status::Busy, std::move(holder), std::move(port), {}};
}

// Opens (or makes) a lock file every user may open: made 0666 whatever the umask, and opened
// without O_CREAT when it exists (fs.protected_regular refuses O_CREAT on another user's file in
// a sticky folder); read-only when writing is refused, flock works on it all the same. Never
// through a symbolic link: the holder writes into it.
int openLockFile(const std::string& path, std::string& why) {
    constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, 0666);
        if (fd >= 0) {
            ::fchmod(fd, 0666);  // the umask's bits back; failing, it is still a lock for this user
            return fd;
        }
        if (errno != EEXIST) break;
        fd = ::open(path.c_str(), O_RDWR | kFlags);
        if (fd < 0 && (errno == EACCES || errno == EPERM)) fd = ::open(path.c_str(), O_RDONLY | kFlags);
        if (fd < 0 && errno != ENOENT) break;  // ENOENT: removed between the two opens
    }
    if (fd < 0) {
        why = "the lock file " + path + " cannot be opened (" + errorText(errno) + ")";
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) return fd;
    ::close(fd);
    why = "the lock file " + path + " is not a regular file";
    return -1;
}

// What a lock file names: "quillmere-cli 4242" is the program and the process that hold it.
struct Named {
    std::string program;
    pid_t pid = 0;
    std::string text() const { return program + ", process " + std::to_string(pid); }
};

// The program and process a file names, when that process is alive.
std::optional<Named> namedIn(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    char buffer[128];
    const ssize_t size = ::pread(fd, buffer, sizeof buffer, 0);
    ::close(fd);
    if (size <= 0) return std::nullopt;
    std::string_view text(buffer, static_cast<std::size_t>(size));
    if (text.ends_with('\n')) text.remove_suffix(1);
    const std::size_t space = text.rfind(' ');
    if (space == std::string_view::npos || space == 0) return std::nullopt;
    const std::string_view program = text.substr(0, space), digits = text.substr(space + 1);
    for (const char c : program)
        if (c < ' ' || c > '~') return std::nullopt;
    pid_t pid = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
    if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0) return std::nullopt;
    // Left behind by a holder that was killed: the lock died with it, its name did not.
    if (::kill(pid, 0) != 0 && errno != EPERM) return std::nullopt;
    return Named{std::string(program), pid};
}

// "quillmere-cli, process 4242" when the file names a process that is alive.
std::optional<std::string> holderIn(const std::string& path) {
    const auto named = namedIn(path);
    return named ? std::optional(named->text()) : std::nullopt;
}

// The process holding an exclusive flock on the file at `path`, read from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 4242 fe:00:10952899 0 EOF"). `alsoPid`: a process taken to hold it
// on an entry whose device differs (a stacked file system may list the lower one).
std::optional<pid_t> exclusiveFlockOn(const std::string& path, pid_t alsoPid) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, type, advisory, mode, file;
        long long pid = 0;
        if (!(fields >> number >> type) || type == "->" || type != "FLOCK") continue;
        if (!(fields >> advisory >> mode >> pid >> file) || mode != "WRITE") continue;
        // "MAJOR:MINOR:INODE", the device numbers in hexadecimal.
        const std::size_t first = file.find(':'), second = file.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        const char* text = file.data();
        const bool whole = std::from_chars(text, text + first, major, 16).ptr == text + first &&
                           std::from_chars(text + first + 1, text + second, minor, 16).ptr == text + second &&
                           std::from_chars(text + second + 1, text + file.size(), inode).ptr == text + file.size();
        if (!whole || inode != status.st_ino) continue;
        if ((major == ::major(status.st_dev) && minor == ::minor(status.st_dev)) || pid == alsoPid)
            return static_cast<pid_t>(pid);
    }
    return std::nullopt;
}

// Who holds an exclusive lock on the file at `path`: the name the file gives, or its process.
std::optional<std::string> exclusiveHolder(const std::string& path) {
    const std::optional<Named> named = namedIn(path);
    const std::optional<pid_t> pid = exclusiveFlockOn(path, named ? named->pid : 0);
    if (!pid) return std::nullopt;
    return named && named->pid == *pid ? named->text() : "process " + std::to_string(*pid);
}

// The port and the name of a pinned update that holds its port's file in `directory`.
std::optional<std::pair<std::string, std::string>> pinnedHolder(const std::string& directory) {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (!name.starts_with(kPortPrefix) || !name.ends_with(kSuffix)) continue;
        std::string port = name.substr(kPortPrefix.size(), name.size() - kPortPrefix.size() - kSuffix.size());
        if (!conv::usbport::isPortPath(port)) continue;
        if (auto holder = holderIn(entry->path().string())) return std::pair(std::move(port), std::move(*holder));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> converterHolder(const std::string& port, const std::string& directory) {
    if (!conv::usbport::isPortPath(port)) return std::nullopt;
    if (auto holder = exclusiveHolder(directory + "/" + lockFileName(port))) return holder;
    if (auto holder = exclusiveHolder(directory + "/" + lockFileName({})))
        return *holder + ", updating without a chosen converter";
    return std::nullopt;
}

std::string lockDirectory() {
    if (const char* dir = std::getenv(kLockDirEnv); dir && *dir) return dir;
    // Not TMPDIR: every user's updater must meet the same files.
    std::error_code error;
    return std::filesystem::is_directory("/run/lock", error) ? "/run/lock" : "/tmp";
}

FileConverterLock::FileConverterLock(std::string program, std::string directory)
    : program_(std::move(program)), directory_(std::move(directory)) {}

FileConverterLock::~FileConverterLock() { release(); }

LockAttempt FileConverterLock::acquire(const std::string& port) {
    release();
    if (!port.empty() && !conv::usbport::isPortPath(port)) return failed("\"" + port + "\" is no USB port path");
    if (::mkdir(directory_.c_str(), 0777) != 0 && errno != EEXIST)
        return failed("the lock folder " + directory_ + " cannot be made (" + errorText(errno) + ")");
    const std::string hostPath = directory_ + "/" + lockFileName({});
    const std::string portPath = directory_ + "/" + lockFileName(port);
    std::string why;
    if ((hostFd_ = openLockFile(hostPath, why)) < 0 || (!port.empty() && (portFd_ = openLockFile(portPath, why)) < 0)) {
        release();
        return failed(why);
    }
    LockAttempt met;
    for (int look = 0; look < kNameLooks; ++look) {
        if (look > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool hostTaken = ::flock(hostFd_, (port.empty() ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0;
        if (hostTaken && (port.empty() || ::flock(portFd_, LOCK_EX | LOCK_NB) == 0)) {
            const int ownFd = port.empty() ? hostFd_ : portFd_;
            const std::string name = program_ + " " + std::to_string(::getpid()) + "\n";
            if (::ftruncate(ownFd, 0) == 0 && ::pwrite(ownFd, name.data(), name.size(), 0) > 0) namedFd_ = ownFd;
            return {};
        }
        if (errno != EWOULDBLOCK) {
            met = failed("the lock file " + (hostTaken ? portPath : hostPath) + " cannot be locked (" +
                         errorText(errno) + ")");
            break;
        }
        // Whose name to give: the port's holder, an unpinned update holding the host alone, or
        // (only an unpinned update meets them) pinned ones holding it shared.
        std::string heldPort = hostTaken ? port : std::string();
        std::optional<std::string> holder;
        if (hostTaken) {
            holder = holderIn(portPath);
        } else if (!port.empty() || ::flock(hostFd_, LOCK_SH | LOCK_NB) != 0) {
            holder = holderIn(hostPath);
        } else if (::flock(hostFd_, LOCK_UN) == 0) {
            if (auto pinned = pinnedHolder(directory_)) std::tie(heldPort, holder) = std::move(*pinned);
        }
        met = busy(heldPort, holder.value_or(std::string(kUnknownHolder)));
        if (holder) break;
    }
    release();
    return met;
}

void FileConverterLock::release() {
    // Our name goes with the lock; one left by a holder that was killed names a process gone.
    if (namedFd_ >= 0) {
        [[maybe_unused]] const int cleared = ::ftruncate(namedFd_, 0);
    }
    for (int* fd : {&portFd_, &hostFd_})
        if (*fd >= 0) ::close(std::exchange(*fd, -1));
    namedFd_ = -1;
}

}  // namespace quill
