// The device holder: tavik-hold runs for the holder's lifetime and never outlives it; a missing
// one changes nothing. An action's holder runs on the port pinned during the action, for its length.
#include <gtest/gtest.h>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>

#include <cerrno>

#include <string>
#include <vector>

#include "device_holder.h"
#include "process_runner.h"
#include "qt_test_support.h"

namespace quill::qt::test {
namespace {

class HolderTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString pidFile = dir.filePath("pid");
    void writeHolder(const QByteArray& body) {
        QFile::remove(pidFile);
        writeScript(dir.filePath("tavik-hold"), pidLine("'" + pidFile.toUtf8() + "'") + body);
    }
};

// Like tavik-hold, a holder runs until its standard input ends; one that ignores its end is killed.
// A missing one is no error.
TEST_F(HolderTest, RunsWhileHeldAndNeverOutlivesTheHolder) {
    EXPECT_FALSE(DeviceHolder(dir.path()).running());
    for (const char* body : {"exec cat > /dev/null\n", "trap '' TERM\nexec sleep 30 < /dev/null\n"}) {
        SCOPED_TRACE(body);
        writeHolder(body);
        pid_t pid = 0;
        {
            DeviceHolder holder(dir.path());
            pid = waitForPid(pidFile);
            ASSERT_GT(pid, 0);  // a pid of 0 or -1 would signal far more than the holder
            EXPECT_TRUE(alive(pid));
        }
        EXPECT_FALSE(alive(pid));
        EXPECT_EQ(errno, ESRCH);
    }
}

TEST_F(HolderTest, ActionHoldsThePinnedPortUntilItEnds) {
    writeHolder("exec cat > /dev/null\n");
    std::vector<std::string> heard;
    ProcessToolRunner runner(dir.filePath("tavik"));
    ActionHolder holder(runner, dir.path(), [&](const std::string& port) { heard.push_back(port); });
    runner.pinPort("1-1");  // between actions nothing is held
    pid_t pid = 0;
    QByteArray environment;
    holder.during([&] {
        runner.pinPort("2-3");
        pid = waitForPid(pidFile);
        QFile file(QStringLiteral("/proc/%1/environ").arg(pid));
        if (file.open(QIODevice::ReadOnly)) environment = file.readAll();
    });
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(environment.split('\0').contains("TAVIK_PORT=2-3"));
    EXPECT_FALSE(alive(pid));
    EXPECT_EQ(heard, (std::vector<std::string>{"1-1", "2-3"}));
}

}  // namespace
}  // namespace quill::qt::test
