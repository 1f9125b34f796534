// The QProcess tool runner and the pauses: capture, time limit, start failures, live event loop.
#include <gtest/gtest.h>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>

#include <cerrno>

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

}  // namespace
}  // namespace quill::qt::test
