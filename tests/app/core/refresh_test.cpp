// What each timer tick renders for the status value.
#include <gtest/gtest.h>

#include "quill/front_state.h"

using namespace quill;

TEST(Refresh, FirstTickDrawsTheIdlePictureOnce) {
    FrontState state;
    const Refresh first = onTimer1(state, false);
    EXPECT_TRUE(first.changed);
    EXPECT_EQ(first.picture, "TP1_2.png");
    EXPECT_FALSE(first.labelCen || first.labelBot || first.startBtnTitle);
    const Refresh second = onTimer1(state, false);
    EXPECT_FALSE(second.changed);
    EXPECT_FALSE(second.picture);
}

TEST(Refresh, EachStateRendersItsPictureTextsAndButton) {
    const Refresh progress = refreshFor(7, 6, false);
    EXPECT_EQ(progress.picture, "7.png");
    EXPECT_EQ(progress.labelCen, "Updating");
    EXPECT_FALSE(progress.labelBot || progress.startBtnTitle);

    const Refresh done = refreshFor(23, 19, false);
    EXPECT_EQ(done.picture, "complete.png");
    EXPECT_EQ(done.labelCen, "Complete");
    EXPECT_EQ(done.labelBot, "Firmware successfully updated.");
    EXPECT_EQ(done.startBtnTitle, "FINISH");

    const Refresh failed = refreshFor(-1, 4, false);
    EXPECT_EQ(failed.picture, "failed.png");
    EXPECT_EQ(failed.labelCen, "");
    EXPECT_EQ(failed.labelBot, "The Setup didn't finish and will restart.");
    EXPECT_EQ(failed.startBtnTitle, "EXIT");
}

TEST(Refresh, UnlistedValueChangesNothingButIsRecorded) {
    FrontState state;
    state.STATUS_OF_PNG = -7;
    const Refresh r = onTimer1(state, true);
    EXPECT_TRUE(r.changed);  // labels are still made white
    EXPECT_FALSE(r.picture || r.labelCen || r.labelBot || r.startBtnTitle);
    EXPECT_EQ(state.LAST_STATUS_OF_PNG, -7);
}

TEST(Refresh, CheckBoxFollowsItsStateOnlyUntilProgressStarts) {
    EXPECT_EQ(refreshFor(-2, -2, true).ckbox1Colour, TextColour::White);
    EXPECT_EQ(refreshFor(-2, -2, false).ckbox1Colour, TextColour::Gray);
    EXPECT_EQ(refreshFor(0, 0, true).ckbox1Colour, TextColour::White);
    EXPECT_FALSE(refreshFor(1, 1, true).ckbox1Colour);
    EXPECT_FALSE(refreshFor(20, 3, false).ckbox1Colour);
}

TEST(Refresh, ProgressPictureIsRememberedAndSkippedValuesAreNeverShown) {
    FrontState state;
    state.STATUS_OF_PNG = 3;
    onTimer1(state, false);
    state.STATUS_OF_PNG = 4;
    state.STATUS_OF_PNG = 9;
    EXPECT_EQ(onTimer1(state, false).picture, "9.png");
    EXPECT_EQ(state.PLAYING_PNG, "9.png");
    state.STATUS_OF_PNG = 20;
    onTimer1(state, false);
    EXPECT_EQ(state.PLAYING_PNG, "9.png");
}
