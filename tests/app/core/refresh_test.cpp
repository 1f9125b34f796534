// What each timer tick renders for the status value.
#include <gtest/gtest.h>

#include "quill/front_state.h"

using namespace quill;

TEST(Refresh, EachStateRendersItsPictureTextsAndButton) {
    FrontState state;
    EXPECT_EQ(onTimer1(state, false).picture, "TP1_2.png");  // first tick, once
    EXPECT_FALSE(onTimer1(state, false).changed);

    const Refresh progress = refreshFor(7, 6, false);
    EXPECT_EQ(progress.picture, "7.png");
    EXPECT_EQ(progress.labelCen, "Updating");
    EXPECT_FALSE(progress.labelBot || progress.startBtnTitle);
    const Refresh done = refreshFor(23, 19, false);
    EXPECT_EQ(done.picture, "complete.png");
    EXPECT_EQ(std::tie(*done.labelCen, *done.labelBot, *done.startBtnTitle),
              std::make_tuple("Complete", "Firmware successfully updated.", "FINISH"));
    const Refresh failed = refreshFor(-1, 4, false);
    EXPECT_EQ(failed.picture, "failed.png");
    EXPECT_EQ(std::tie(*failed.labelCen, *failed.labelBot, *failed.startBtnTitle),
              std::make_tuple("", "The Setup didn't finish and will restart.", "EXIT"));
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

TEST(Refresh, CheckBoxColourFollowsItsStateUntilProgressStarts) {
    EXPECT_EQ(refreshFor(-2, -2, true).ckbox1Colour, TextColour::White);
    EXPECT_EQ(refreshFor(0, 0, false).ckbox1Colour, TextColour::Gray);
    EXPECT_FALSE(refreshFor(1, 1, true).ckbox1Colour);
    EXPECT_FALSE(refreshFor(20, 3, false).ckbox1Colour);
}
