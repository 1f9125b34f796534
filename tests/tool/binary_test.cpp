// The built tavik on this machine: hidapi finds no converter, so every command word prints its
// not-found text; TAVIK_EMULATOR switches to the emulated back end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct ToolRun {
    std::string out, err;
    int status = -1;
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

// Runs tavik with the given arguments; `emulator` set puts TAVIK_EMULATOR in its environment.
ToolRun runTavik(std::vector<std::string> args, const char* emulator = nullptr) {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        ::unsetenv("TAVIK_EMULATOR");
        if (emulator) ::setenv("TAVIK_EMULATOR", emulator, 1);
        std::vector<char*> argv{const_cast<char*>(TAVIK_BINARY)};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(TAVIK_BINARY, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    ToolRun run;
    run.err = drain(err[0]);  // tavik writes at most a line here, so reading it first cannot block
    run.out = drain(out[0]);
    ::waitpid(pid, &run.status, 0);
    return run;
}

const std::string kLoader = "LDROM NOT FOUND\n";
const std::string kNormal = "0E7B/1CF? NOT FOUND\n";
const std::string kNormalLowerF = "0E7B/1Cf? NOT FOUND\n";

}  // namespace

TEST(TavikBinary, EveryCommandPrintsItsNotFoundTextWithoutAConverter) {
    const ToolRun list = runTavik({"list"});
    if (list.out.find("0416/a316") != std::string::npos || list.out.find("0e7b/0bf2") != std::string::npos) {
        GTEST_SKIP() << "a converter is plugged into this machine";
    }
    EXPECT_TRUE(list.out.ends_with("\nYou can use 'stbb' to run Monitor ...\n")) << list.out;
    EXPECT_EQ(runTavik({}).out, list.out);
    EXPECT_EQ(runTavik({"sa", "sb"}).out, list.out);

    const std::vector<std::pair<std::string, std::string>> expected{
        {"sa", kNormal}, {"runaprom", kLoader}, {"sta", kLoader}, {"qa", kNormal},
        {"read", kLoader}, {"sb", kNormal}, {"sbi", kNormal}, {"bb", kNormalLowerF},
        {"qb", kNormal + "\n"}, {"stbb", kNormalLowerF}, {"stb", kNormal}, {"ub", kNormal},
        {"sync", kLoader}, {"ua", "you are running 'ua'\n" + kLoader}, {"SA", "UNKNOW COMMAND\n"},
        {":10000000" + std::string(32, '0') + "F0\r\n", kNormal}, {std::string(130, '0'), kLoader},
        {std::string(131, '0'), kLoader}, {std::string(46, '0'), "UNKNOW COMMAND\n"},
    };
    for (const auto& [word, text] : expected) {
        const ToolRun run = runTavik({word});
        EXPECT_EQ(run.out, text) << word;
        EXPECT_EQ(run.err, "") << word;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << word;
    }
}

TEST(TavikBinary, UnreachableEmulatorStillPrintsTheNotFoundText) {
    const ToolRun run = runTavik({"sta"}, "/nonexistent/convsim.sock");
    EXPECT_EQ(run.out, kLoader);
    EXPECT_NE(run.err.find("/nonexistent/convsim.sock"), std::string::npos);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}
