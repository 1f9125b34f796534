#pragma once
// The converter lock of ports.h on flock(2): one file per USB port and one for the host in the
// lock folder. An unpinned update holds the host's file exclusively; a pinned one holds it shared
// and its port's file exclusively, so pinned updates on different ports run side by side. The
// holder writes "PROGRAM PID" into the file it holds alone, for the alert of the one refused.
#include <optional>
#include <string>

#include "quill/ports.h"

namespace quill {

// Overrides the lock folder (tests give each case its own).
inline constexpr const char* kLockDirEnv = "QUILLMERE_LOCK_DIR";

// QUILLMERE_LOCK_DIR when set and not empty; else /run/lock when it is a directory; else /tmp.
std::string lockDirectory();

// The update that holds the converter on `port` ("quillmere-cli, process 4242"; one that holds the
// host's lock alone, having chosen no converter, holds them all), or nullopt when none does. It
// only reads, /proc/locks and the lock files, and takes no lock, not even for a moment: a probe
// that did would turn away an updater whose non-blocking attempt came just then. (A test through
// fcntl cannot see flock(2) locks, which are another kind.)
std::optional<std::string> converterHolder(const std::string& port, const std::string& directory = lockDirectory());

class FileConverterLock final : public ConverterLock {
public:
    // program: how a refused updater names this one ("quillmere-cli"). The folder is made when
    // missing (one level).
    explicit FileConverterLock(std::string program, std::string directory = lockDirectory());
    ~FileConverterLock() override;
    FileConverterLock(const FileConverterLock&) = delete;
    FileConverterLock& operator=(const FileConverterLock&) = delete;

    LockAttempt acquire(const std::string& port) override;
    void release() override;

private:
    std::string program_;
    std::string directory_;
    int hostFd_ = -1;
    int portFd_ = -1;
    int namedFd_ = -1;  // the one of the two that carries our name
};

}  // namespace quill
