// Runs started ahead: the runner starts the named next run early, holds it back until it is
// asked for, and ends it unused when another run comes instead.
#include <gtest/gtest.h>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>

#include <csignal>

#include "process_runner.h"
#include "qt_test_support.h"

namespace quill::qt::test {
namespace {

using std::chrono::milliseconds;

class RunAheadTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString tool;

    void SetUp() override {
        // Like tavik: held back until a byte arrives on standard input; records what it does.
        tool = dir.filePath("tool");
        // The pid file appears whole (written aside, then renamed): a run killed while writing
        // it must not leave an empty one behind.
        const QByteArray aside = dir.filePath("tmp-").toUtf8(), pid = dir.filePath("pid-").toUtf8();
        writeScript(tool, "echo $$ > '" + aside + "'\"$1\" && mv '" + aside + "'\"$1\" '" + pid +
                              "'\"$1\"\n"
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
    // Waits until the run with this argument has started (written its pid).
    bool started(const char* argument) {
        for (int i = 0; i < 500; ++i) {
            if (QFile::exists(dir.filePath("pid-") + QLatin1String(argument))) return true;
            QThread::msleep(10);
        }
        return false;
    }
    bool alive(const char* argument) {
        QFile file(dir.filePath("pid-") + QLatin1String(argument));
        if (!file.open(QIODevice::ReadOnly)) return false;
        const int pid = file.readAll().trimmed().toInt();
        return pid > 0 && ::kill(pid, 0) == 0;
    }
};

TEST_F(RunAheadTest, TheNamedRunWaitsUntilAskedForAndEndsUnusedWhenAnotherComes) {
    {
        // A stray go setting in our own environment must not hold back the ordinary runs.
        qputenv("TAVIK_WAIT_FOR_GO", "1");
        ProcessToolRunner runner(tool);
        qunsetenv("TAVIK_WAIT_FOR_GO");
        runner.expectNext("b");
        EXPECT_EQ(runner.runCmd("a", milliseconds(5000)).output, "did a");
        ASSERT_TRUE(started("b"));
        QThread::msleep(50);
        EXPECT_EQ(acted(), "a\n") << "b has started but is held back";
        EXPECT_EQ(runner.runCmd("b", milliseconds(5000)).output, "did b");

        runner.expectNext("d");
        runner.runCmd("a", milliseconds(5000));
        ASSERT_TRUE(started("d"));
        EXPECT_EQ(runner.runCmd("c", milliseconds(5000)).output, "did c");
        EXPECT_FALSE(alive("d"));

        runner.expectNext("e");
        runner.runCmd("a", milliseconds(5000));
        ASSERT_TRUE(started("e"));
    }
    EXPECT_FALSE(alive("e")) << "the runner's end ends its held-back run";
    EXPECT_EQ(acted(), "a\nb\na\nc\na\n");
}

}  // namespace
}  // namespace quill::qt::test
