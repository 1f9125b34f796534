// The built tavik on this machine: hidapi finds no converter, so every command word prints its
// not-found text; TAVIK_EMULATOR switches to the emulated back end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "conv/wirerecord.h"

namespace {

struct ToolRun {
    std::string out, err;
    int status = -1;
};

// Runs tavik through the shell; `environment` is put in front ("env -u ..." or "VAR=value").
ToolRun runTavik(const std::vector<std::string>& args, const std::string& environment = "env -u TAVIK_EMULATOR") {
    const std::string errPath = testing::TempDir() + "tavik_stderr_" + std::to_string(getpid()) + ".txt";
    std::string command = environment + " " TAVIK_BINARY;
    for (const auto& a : args) command += " '" + a + "'";
    ToolRun run;
    FILE* pipe = popen((command + " 2>" + errPath).c_str(), "r");
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, n);
    run.status = pclose(pipe);
    run.err.assign(std::istreambuf_iterator<char>(std::ifstream(errPath).rdbuf()), {});
    std::remove(errPath.c_str());
    return run;
}

const std::string kLoader = "LDROM NOT FOUND\n", kNormal = "0E7B/1CF? NOT FOUND\n", kLowerF = "0E7B/1Cf? NOT FOUND\n";

}  // namespace

TEST(TavikBinary, EveryCommandPrintsItsNotFoundTextWithoutAConverter) {
    const ToolRun list = runTavik({"list"});
    if (list.out.find("0416/a316") != std::string::npos || list.out.find("0e7b/0bf2") != std::string::npos) {
        GTEST_SKIP() << "a converter is plugged into this machine";
    }
    EXPECT_TRUE(list.out.ends_with("\nYou can use 'stbb' to run Monitor ...\n")) << list.out;

    // The texts the front end waits on, and bb's lower-case "f"; every word's text is in
    // dispatcher_test. A wire recording that cannot be written changes nothing the run prints on
    // standard output; standard error says it is not whole.
    const std::vector<std::pair<std::string, std::string>> expected{
        {"sta", kLoader}, {"stb", kNormal}, {"bb", kLowerF}};
    for (const auto& [word, text] : expected) {
        SCOPED_TRACE(word);
        const ToolRun run = runTavik({word}, "env -u TAVIK_EMULATOR TAVIK_RECORD=/nonexistent/wire.jsonl");
        EXPECT_EQ(run.out, text);
        EXPECT_TRUE(run.err.starts_with(conv::wire::kRecordingCut)) << run.err;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
    }
}

TEST(TavikBinary, UnreachableEmulatorStillPrintsTheNotFoundText) {
    const ToolRun run = runTavik({"sta"}, "TAVIK_EMULATOR=/nonexistent/convsim.sock");
    EXPECT_EQ(run.out, kLoader);
    EXPECT_NE(run.err.find("/nonexistent/convsim.sock"), std::string::npos);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
}

TEST(TavikBinary, ARunStartedAheadActsOnlyOnItsGo) {
    // Without the go byte it never reaches for the device and says so in one line.
    const ToolRun idle =
        runTavik({"sta"}, "exec < /dev/null; TAVIK_WAIT_FOR_GO=1 TAVIK_EMULATOR=/nonexistent/convsim.sock");
    EXPECT_EQ(idle.out, "");
    EXPECT_EQ(idle.err.rfind("tavik: TAVIK_WAIT_FOR_GO=1 but standard input ended before the go byte came", 0), 0u);
    EXPECT_EQ(std::count(idle.err.begin(), idle.err.end(), '\n'), 1);
    EXPECT_TRUE(WIFEXITED(idle.status) && WEXITSTATUS(idle.status) == 0);

    const ToolRun go = runTavik({"sta"}, "printf g | TAVIK_WAIT_FOR_GO=1 TAVIK_EMULATOR=/nonexistent/convsim.sock");
    EXPECT_EQ(go.out, kLoader);
    EXPECT_NE(go.err.find("/nonexistent/convsim.sock"), std::string::npos);
}
