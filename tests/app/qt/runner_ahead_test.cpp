// Runs started ahead: the runner starts the named next run early, holds it back until it is
// asked for, and ends it unused when another run comes instead.
#include <gtest/gtest.h>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>

#include "process_runner.h"
#include "qt_test_support.h"

namespace quill::qt::test {
namespace {

using std::chrono::milliseconds;

class RunAheadTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString tool = dir.filePath("tool");

    // Like tavik: held back until a byte arrives on standard input; records what it does.
    void SetUp() override {
        writeScript(tool, pidLine("'" + dir.filePath("pid-").toUtf8() + "'\"$1\"") +
                              "if [ \"$TAVIK_WAIT_FOR_GO\" = 1 ]; then\n"
                              "  go=$(dd bs=1 count=1 2>/dev/null); [ -n \"$go\" ] || exit 0\n"
                              "fi\n"
                              "echo \"$1\" >> '" +
                              dir.filePath("acted").toUtf8() + "'\nprintf 'did %s' \"$1\"\n");
    }
    QByteArray acted() {
        QFile file(dir.filePath("acted"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // The pid of the run with this argument once it has started.
    pid_t started(const char* argument) { return waitForPid(dir.filePath("pid-") + QLatin1String(argument)); }
};

TEST_F(RunAheadTest, TheNamedRunWaitsUntilAskedForAndEndsUnusedWhenAnotherComes) {
    pid_t e = 0;
    {
        // A stray go setting in our own environment must not hold back the ordinary runs.
        qputenv("TAVIK_WAIT_FOR_GO", "1");
        ProcessToolRunner runner(tool);
        qunsetenv("TAVIK_WAIT_FOR_GO");
        runner.expectNext("b");
        EXPECT_EQ(runner.runCmd("a", milliseconds(5000)).output, "did a");
        ASSERT_GT(started("b"), 0);
        QThread::msleep(50);
        EXPECT_EQ(acted(), "a\n") << "b has started but is held back";
        EXPECT_EQ(runner.runCmd("b", milliseconds(5000)).output, "did b");

        runner.expectNext("d");
        runner.runCmd("a", milliseconds(5000));
        const pid_t d = started("d");
        ASSERT_GT(d, 0);
        EXPECT_EQ(runner.runCmd("c", milliseconds(5000)).output, "did c");
        EXPECT_FALSE(alive(d));

        runner.expectNext("e");
        runner.runCmd("a", milliseconds(5000));
        ASSERT_GT(e = started("e"), 0);
    }
    EXPECT_FALSE(alive(e)) << "the runner's end ends its held-back run";
    EXPECT_EQ(acted(), "a\nb\na\nc\na\n");
}

}  // namespace
}  // namespace quill::qt::test
