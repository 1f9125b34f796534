// The device holder: tavik-hold runs for the holder's lifetime and never outlives it; a missing
// one changes nothing. An action's holder runs on the port pinned during the action, for its length.
#include <gtest/gtest.h>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>

#include <cerrno>
#include <csignal>

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

    void writeHolder(const QByteArray& body) {
        const QByteArray pid = dir.filePath("pid").toUtf8();
        writeScript(dir.filePath("tavik-hold"),
                    "echo $$ > '" + pid + ".tmp'\nmv '" + pid + ".tmp' '" + pid + "'\n" + body);
    }
    // The holder's pid once it has started (0 if it never does).
    pid_t startedPid() {
        QFile file(dir.filePath("pid"));
        for (int i = 0; i < 500 && !file.exists(); ++i) QThread::msleep(10);
        if (!file.open(QIODevice::ReadOnly)) return 0;
        return file.readAll().trimmed().toInt();
    }
    static bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }
};

// Like tavik-hold, a holder runs until its standard input ends; one that ignores its end is killed.
TEST_F(HolderTest, RunsWhileHeldAndNeverOutlivesTheHolder) {
    for (const char* body : {"exec cat > /dev/null\n", "trap '' TERM\nexec sleep 30 < /dev/null\n"}) {
        SCOPED_TRACE(body);
        writeHolder(body);
        QFile::remove(dir.filePath("pid"));
        pid_t pid = 0;
        {
            DeviceHolder holder(dir.path());
            pid = startedPid();
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
        pid = startedPid();
        QFile file(QStringLiteral("/proc/%1/environ").arg(pid));
        if (file.open(QIODevice::ReadOnly)) environment = file.readAll();
    });
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(environment.split('\0').contains("TAVIK_PORT=2-3"));
    EXPECT_FALSE(alive(pid));
    EXPECT_EQ(heard, (std::vector<std::string>{"1-1", "2-3"}));
}

TEST_F(HolderTest, MissingHolderIsNoError) {
    DeviceHolder holder(dir.path());
    EXPECT_FALSE(holder.running());
}

}  // namespace
}  // namespace quill::qt::test
