// The QtCore layer's processes: the QProcess tool runner and the pauses (capture, time limit, start
// failures, live event loop, runs started ahead) and the device holder.
#include <gtest/gtest.h>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QThread>
#include <QtCore/QTimer>

#include <cerrno>

#include <string>
#include <vector>

#include "device_holder.h"
#include "process_runner.h"
#include "qt_test_support.h"

namespace quill::qt::test {
namespace {

using std::chrono::milliseconds;

class RunnerTest : public ::testing::Test {
protected:
    QTemporaryDir dir;

    QString script(const QString& name, const QByteArray& body, bool executable = true) {
        writeScript(dir.filePath(name), body, executable);
        return dir.filePath(name);
    }
};

TEST_F(RunnerTest, RunPastItsLimitIsKilledWithWhatItPrinted) {
    const QString pidFile = dir.filePath("pid");
    ProcessToolRunner runner(script("hang", pidLine("'" + pidFile.toUtf8() + "'") + "echo waiting\nexec sleep 30\n"));
    const RunResult result = runner.runCmd("stb", milliseconds(300));
    EXPECT_EQ(result.end, RunEnd::TimedOut);
    EXPECT_EQ(result.output, "waiting\n");
    const pid_t pid = waitForPid(pidFile);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(alive(pid)) << "the tool still runs";
    EXPECT_EQ(errno, ESRCH);
}

// A run that printed its words and then died by a signal, or exited with a failure status, proves
// nothing; a port in our own environment never reaches a run that was not pinned.
TEST_F(RunnerTest, ACrashOrAFailureStatusIsNoAnswerAndAnInheritedPortIsDropped) {
    const std::pair<QByteArray, std::string> ends[] = {{"kill -SEGV $$\n", "SIGSEGV"}, {"exit 3\n", "exit status 3"}};
    for (const auto& [end, reason] : ends) {
        ProcessToolRunner runner(script("dies", "echo uaok\n" + end));
        const RunResult result = runner.runCmd("sta", milliseconds(5000));
        EXPECT_EQ(result.end, RunEnd::Crashed) << reason;
        EXPECT_EQ(result.reason, reason);
        EXPECT_EQ(result.output, "uaok\n");
    }
    qputenv("TAVIK_PORT", "9-9");
    ProcessToolRunner runner(script("port", "echo \"${TAVIK_PORT:--}\"\n"));
    EXPECT_EQ(runner.runCmd("sta", milliseconds(5000)).output, "-\n");
    runner.pinPort("1-2");
    EXPECT_EQ(runner.runCmd("sta", milliseconds(5000)).output, "1-2\n");
    qunsetenv("TAVIK_PORT");
}

// A missing tool is followed in tests/e2e (tool-missing).
TEST_F(RunnerTest, ANonExecutableToolCannotStart) {
    ProcessToolRunner plain(script("plain", "echo hi\n", false));
    const RunResult refused = plain.runCmd("sta", milliseconds(1000));
    EXPECT_EQ(refused.end, RunEnd::FailedToStart);
    EXPECT_EQ(refused.reason, "Not executable");
}

TEST_F(RunnerTest, TimersKeepFiringWhileWaitingForTheToolAndDuringPauses) {
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);

    ProcessToolRunner runner(script("slow", "sleep 0.3\necho done\n"));
    EXPECT_EQ(runner.runCmd("sta", milliseconds(5000)).output, "done\n");
    EXPECT_GT(ticks, 0);

    ticks = 0;
    pauseKeepingEventsAlive(std::chrono::milliseconds(100));
    EXPECT_GT(ticks, 0);
}

// Runs started ahead: the runner starts the named next run early, holds it back until it is
// asked for, and ends it unused when another run comes instead.
class RunAheadTest : public RunnerTest {
protected:
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

// The device holder: tavik-hold runs for the holder's lifetime and never outlives it; a missing
// one changes nothing. An action's holder runs on the port pinned during the action, for its length.
class HolderTest : public RunnerTest {
protected:
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
