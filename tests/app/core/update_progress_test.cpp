// The whole update's percentage and time left, against a clock the test moves.
#include <gtest/gtest.h>

#include "quill/update_progress.h"

using namespace quill;
using namespace std::chrono_literals;

TEST(UpdateProgress, TimeLeftFromThePausesAheadAndTheTransfersPace) {
    const UpdateProgress::Time t0{};
    UpdateProgress update(true, 1.0, t0);
    EXPECT_EQ(update.at(t0).left, std::nullopt);  // until the firmware's size is known
    update.firmware(500, 300);
    // Every pause of the sequence with the B code (23.542 s) and its 946 runs at the assumed 4 ms.
    ProgressEstimate now = update.at(t0);
    EXPECT_EQ(now.percent, 0);
    EXPECT_EQ(now.left, 28s);
    EXPECT_EQ(now.step, "");
    update.phase(kPhaseFileCheck, t0);
    update.phase(kPhaseIntoLoader, t0 + 100ms);
    // Inside a phase its estimate runs down with the clock: 27.326 s less the 0.6 s spent.
    now = update.at(t0 + 700ms);
    EXPECT_EQ(now.left, 27s);
    EXPECT_EQ(now.percent, 2);
    EXPECT_EQ(now.step, "into the loader");
    // A wait that takes longer than planned (2.108 s here) leaves the rest ahead as it was.
    EXPECT_EQ(update.at(t0 + 2300ms).left, 26s);
    EXPECT_EQ(update.at(t0 + 2900ms).left, 26s);

    update.phase(kPhaseATransfer, t0 + 3s);
    update.transferred(1, t0 + 4s);
    update.transferred(101, t0 + 5s);
    // 100 packets a second: 400 left at 10 ms, and every run ahead at that pace: 4 s + 24.752 s.
    now = update.at(t0 + 5s);
    EXPECT_EQ(now.left, 29s);
    EXPECT_EQ(now.percent, 14);  // 5 s of 33.752
    // A transfer that slows down puts the end further off, but the percentage never goes back.
    update.transferred(111, t0 + 8s);
    now = update.at(t0 + 8s);
    EXPECT_GT(now.left, 29s);
    EXPECT_EQ(now.percent, 14);

    // The last phase: 6.12 s of pauses and 62 runs at the pace measured last (4 s for 110 packets).
    update.phase(kPhaseLeave, t0 + 30s);
    now = update.at(t0 + 36s);
    EXPECT_EQ(now.left, 3s);
    EXPECT_EQ(now.percent, 93);
    EXPECT_LE(update.at(t0 + 100s).percent, 99);
}

TEST(UpdateProgress, WithoutTheBCodeAndWithScaledPausesTheirTimeIsLeftOut) {
    const UpdateProgress::Time t0{};
    UpdateProgress update(false, 0.1, t0);
    update.firmware(500, 300);
    // Pauses 17.542 s at a tenth, and 642 runs at 4 ms.
    EXPECT_EQ(update.at(t0).left, 5s);
    update.phase(kPhaseBTransfer, t0);  // not part of this update's plan, but named all the same
    EXPECT_EQ(update.at(t0).step, "B transfer");
}
