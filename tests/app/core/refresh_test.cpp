// What each timer tick renders for the status value. The first picture, the box colour and the
// complete screen are checked through the real window in tests/app/qt.
#include <gtest/gtest.h>

#include "quill/front_state.h"

using namespace quill;

TEST(Refresh, ProgressShowsItsPictureOnceAndFailedItsScreen) {
    FrontState state;
    state.STATUS_OF_PNG = 7;
    const Refresh progress = onTimer1(state, true);
    EXPECT_EQ(progress.picture, "7.png");
    EXPECT_EQ(progress.labelCen, "Updating");
    EXPECT_FALSE(progress.labelBot || progress.startBtnTitle || progress.ckbox1Colour);
    EXPECT_EQ(state.PLAYING_PNG, "7.png");
    EXPECT_FALSE(onTimer1(state, false).changed);
    // The Failed screen (Complete is drawn by the real window in tests/app/qt).
    state.STATUS_OF_PNG = -1;
    const Refresh failed = onTimer1(state, false);
    EXPECT_EQ(failed.picture, "failed.png");
    EXPECT_EQ(failed.labelCen, "");
    EXPECT_EQ(failed.labelBot, "The Setup didn't finish and will restart.");
    EXPECT_EQ(failed.startBtnTitle, "EXIT");
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
