#pragma once
// The converter lock of ports.h on flock(2): one file per USB port and one for the host in the
// lock folder. An unpinned update holds the host's file exclusively; a pinned one holds it shared
// and its port's file exclusively, so pinned updates on different ports run side by side. The
// holder writes "PROGRAM PID" into the file it holds alone, for the alert of the one refused.
#include <string>

#include "quill/ports.h"

namespace quill {

// Overrides the lock folder (tests give each case its own).
inline constexpr const char* kLockDirEnv = "QUILLMERE_LOCK_DIR";

// QUILLMERE_LOCK_DIR when set and not empty; else /run/lock when it is a directory; else /tmp.
std::string lockDirectory();

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
