// What each timer tick renders for the status value, and the whole update's percentage and time
// left against a clock the test moves. The first picture, the box colour and the Complete and
// Failed screens are checked through the real window in tests/app/qt.
#include <gtest/gtest.h>

#include "quill/front_state.h"
#include "quill/update_progress.h"

using namespace quill;
using namespace std::chrono_literals;

TEST(Refresh, ProgressShowsItsPictureOnce) {
    FrontState state;
    state.STATUS_OF_PNG = 7;
    const Refresh progress = onTimer1(state, true);
    EXPECT_EQ(progress.picture, "7.png");
    EXPECT_EQ(progress.labelCen, "Updating");
    EXPECT_FALSE(progress.labelBot || progress.startBtnTitle || progress.ckbox1Colour);
    EXPECT_EQ(state.PLAYING_PNG, "7.png");
    EXPECT_FALSE(onTimer1(state, false).changed);
}

TEST(Refresh, UnlistedValuesChangeNothingButAreRecorded) {
    FrontState state;
    state.STATUS_OF_PNG = 3;
    onTimer1(state, false);
    state.STATUS_OF_PNG = -7;
    const Refresh r = onTimer1(state, true);
    EXPECT_TRUE(r.changed);  // the labels are still made white
    EXPECT_FALSE(r.picture || r.labelCen || r.labelBot || r.startBtnTitle);
    EXPECT_EQ(state.LAST_STATUS_OF_PNG, -7);
    EXPECT_EQ(state.PLAYING_PNG, "3.png");
}

// Screen readers are told the status of the picture on screen: each picture the refresh draws
// names its own status back, and so the figure the picture shows (progressPercent).
TEST(Refresh, EveryPictureDrawnNamesItsStatusBack) {
    for (int status = kStatusIdle; status <= kStatusComplete; ++status) {
        const Refresh r = refreshFor(status, status - 1, false);
        ASSERT_TRUE(r.picture) << status;
        EXPECT_EQ(statusShownBy(*r.picture), status) << *r.picture;
    }
    EXPECT_EQ(progressPercent(0), 0);
    EXPECT_EQ(progressPercent(kStatusLastProgress), 95);  // the last B line is still on its way
    EXPECT_EQ(statusInWords(11), "Updating, 55 %");
    EXPECT_FALSE(statusShownBy("20.png") || statusShownBy("bar.png"));
}

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
