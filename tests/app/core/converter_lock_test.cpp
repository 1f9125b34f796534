// The flock lock between separate opens, as two updaters hold it, and with its holder killed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "quill/converter_lock.h"

using namespace quill;
using Status = LockAttempt::Status;

namespace {

struct LockFolder : testing::Test {
    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("quill_lock_" + std::to_string(::getpid()) + "_" +
                                                  testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string dir = (root / "locks").string();  // made by the first acquire
    void SetUp() override { std::filesystem::create_directories(root); }
    void TearDown() override { std::filesystem::remove_all(root); }
};

std::string us(const char* program) { return std::string(program) + ", process " + std::to_string(::getpid()); }

}  // namespace

TEST_F(LockFolder, OneUpdaterPerPortPinnedSideBySideUnpinnedAlone) {
    const mode_t umask = ::umask(022);
    FileConverterLock window("Quillmere", dir), cli("quillmere-cli", dir), unpinned("quillmere-cli", dir);
    ASSERT_EQ(window.acquire("1-1").status, Status::Taken);
    const LockAttempt refused = cli.acquire("1-1");
    EXPECT_EQ(refused.status, Status::Busy);
    EXPECT_EQ(refused.port, "1-1");
    EXPECT_EQ(refused.holder, us("Quillmere"));
    // Every user may open the files whatever the umask.
    for (const char* name : {"quillmere-host.lock", "quillmere-port-1-1.lock"}) {
        struct stat status {};
        ASSERT_EQ(::stat((dir + "/" + name).c_str(), &status), 0) << name;
        EXPECT_EQ(status.st_mode & 07777, 0666u) << name;
    }
    ::umask(umask);
    // The query names the holder of that port only, and takes no lock, not even for a moment.
    EXPECT_EQ(converterHolder("1-1", dir), us("Quillmere"));
    EXPECT_EQ(converterHolder("1-2", dir), std::nullopt);
    window.release();
    EXPECT_EQ(converterHolder("1-1", dir), std::nullopt);
    // A name left behind by a process that is alive but holds no lock holds nothing.
    std::ofstream(dir + "/quillmere-port-1-1.lock") << "Quillmere " << ::getpid() << "\n";
    EXPECT_EQ(converterHolder("1-1", dir), std::nullopt);
    ASSERT_EQ(cli.acquire("1-2").status, Status::Taken);
    EXPECT_EQ(window.acquire("1-1").status, Status::Taken);  // another port: side by side
    window.release();
    // An unpinned update meets the pinned one; 1-1's name went with its lock.
    const LockAttempt pinned = unpinned.acquire("");
    EXPECT_EQ(pinned.status, Status::Busy);
    EXPECT_EQ(pinned.port, "1-2");
    EXPECT_EQ(pinned.holder, us("quillmere-cli"));
    cli.release();
    ASSERT_EQ(unpinned.acquire("").status, Status::Taken);
    EXPECT_EQ(converterHolder("1-3", dir), us("quillmere-cli") + ", updating without a chosen converter");
    const LockAttempt alone = window.acquire("1-1");
    EXPECT_EQ(alone.status, Status::Busy);
    EXPECT_EQ(alone.port, "");
    EXPECT_EQ(alone.holder, us("quillmere-cli"));
}

TEST_F(LockFolder, DiesWithItsHolderAndNoChildKeepsIt) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
        FileConverterLock lock("quillmere-cli", dir);
        const char taken = lock.acquire("1-1").status == Status::Taken ? 'y' : 'n';
        if (::write(ready[1], &taken, 1) == 1) ::pause();
        ::_exit(1);
    }
    char taken = 0;
    ASSERT_EQ(::read(ready[0], &taken, 1), 1);
    ASSERT_EQ(taken, 'y');
    FileConverterLock next("Quillmere", dir);
    EXPECT_EQ(next.acquire("1-1").holder, "quillmere-cli, process " + std::to_string(holder));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(next.acquire("1-1").status, Status::Taken);

    // A program started while the lock is held, as each tavik run is, does not inherit it.
    int execed[2];
    ASSERT_EQ(::pipe2(execed, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(execed[1]);
    ASSERT_EQ(::read(execed[0], &taken, 1), 0);  // end of file: the child has exec'd
    next.release();
    FileConverterLock other("quillmere-cli", dir);
    EXPECT_EQ(other.acquire("1-1").status, Status::Taken);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST_F(LockFolder, FailsWhereNoFolderCanBeMade) {
    std::ofstream(root / "a-file").put('x');
    const std::string under = (root / "a-file" / "locks").string();
    FileConverterLock lock("Quillmere", under);
    const LockAttempt attempt = lock.acquire("1-1");
    EXPECT_EQ(attempt.status, Status::Failed);
    EXPECT_EQ(attempt.why, "the lock folder " + under + " cannot be made (Not a directory)");
}
