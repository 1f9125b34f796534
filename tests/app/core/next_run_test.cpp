// Each run of a transfer names the run that follows it, so a runner may have that one ready.
#include <gtest/gtest.h>

#include <utility>

#include "fakes.h"

namespace quill::test {
namespace {

struct Hinting : FakeTavik {
    std::vector<std::string> args, hints;  // per run: its argument, the successor it named
    std::string pending;
    void expectNext(const std::string& next) override { pending = next; }
    RunResult runCmd(const std::string& arg, std::chrono::milliseconds limit) override {
        args.push_back(arg);
        hints.push_back(std::exchange(pending, {}));
        return FakeTavik::runCmd(arg, limit);
    }
};

TEST(NextRunHint, EveryTransferRunNamesItsSuccessorAndTheLastNone) {
    for (const char which : {'A', 'B'}) {
        SCOPED_TRACE(which);
        Hinting rig;
        which == 'A' ? rig.core->UPDATE_A() : rig.core->UPDATE_B();
        EXPECT_EQ(rig.args.size(), 5u);  // sync + 4 packets (48 + 2 * 56 bytes, empty last); 5 lines
        for (std::size_t i = 0; i + 1 < rig.args.size(); ++i) EXPECT_EQ(rig.hints[i], rig.args[i + 1]) << i;
        EXPECT_EQ(rig.hints.empty() ? "no run" : rig.hints.back(), "");
    }
}

TEST(NextRunHint, AResentBLineNamesTheLineAfterIt) {
    Hinting rig;
    int sends = 0;
    rig.respond = [&](const std::string&) { return exited(said(++sends == 2 ? conv::kBLineRetry : conv::kBLineSent)); };
    EXPECT_TRUE(rig.core->UPDATE_B().ok());
    ASSERT_EQ(rig.args.size(), 6u);
    EXPECT_EQ(rig.args[1], rig.args[2]) << "line 2 is sent again";
    EXPECT_EQ(rig.hints[1], rig.args[3]);
    EXPECT_EQ(rig.hints[2], rig.args[3]);
}

}  // namespace
}  // namespace quill::test
