// The state file. What --show prints (sizes, totals, SHA-256) is checked against the HEX files
// in tavik_session.py.
#include <gtest/gtest.h>

#include <filesystem>

#include "flash.h"

namespace convsim {
namespace {

FlashState sample() {
    FlashState f;
    f.app.declaredTotal = 100;
    for (int i = 0; i < 70; ++i) f.app.bytes.push_back(static_cast<std::uint8_t>(i * 3));
    f.bcode[0x0120] = BLineData{1, 2, 3};
    f.bcode[0x0010] = BLineData{0xff};
    return f;
}

TEST(FlashFile, RoundTripsKeepsTheOldStateWhenASaveFailsAndNamesTheDamagedLine) {
    for (const FlashState& f : {FlashState{}, FlashState::factory(), sample()})
        EXPECT_EQ(parseFlash(serializeFlash(f)).flash, f);
    const auto dir = std::filesystem::temp_directory_path() / ("convsim-flash-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "state").string();
    EXPECT_FALSE(loadFlashFile(path).flash || loadFlashFile(path).error) << "a missing file is a new device";
    ASSERT_EQ(saveFlashFile(path, sample()), std::nullopt);
    EXPECT_EQ(loadFlashFile(path).flash, sample());
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    std::filesystem::create_directory(path + ".tmp");  // the side file cannot be written: the old state stays whole
    EXPECT_NE(saveFlashFile(path, FlashState{}), std::nullopt);
    EXPECT_EQ(loadFlashFile(path).flash, sample());
    std::filesystem::remove_all(dir);

    const std::string good = serializeFlash(sample());
    auto errorOf = [](std::string text) { return parseFlash(text).error.value_or("sound"); };
    EXPECT_EQ(errorOf("hello\n").rfind("line 1:", 0), 0u);
    EXPECT_NE(errorOf(good.substr(0, good.find("\nb "))), "sound");
    std::string badHex = good, tooMany = good, twice = good, notANumber = good, longLine = good;
    badHex[good.find("\na ") + 5] = 'z';
    EXPECT_EQ(errorOf(badHex).rfind("line 3:", 0), 0u);
    tooMany.replace(tooMany.find("application 100 70"), 18, "application 60 70");
    EXPECT_EQ(errorOf(tooMany).rfind("line 2:", 0), 0u);
    notANumber.replace(notANumber.find("application 100 70"), 18, "application 100x 70");
    EXPECT_EQ(errorOf(notANumber).rfind("line 2:", 0), 0u);
    longLine.insert(longLine.find('\n', longLine.find("b 0010")), "00");  // 17 bytes for a 16-byte line
    EXPECT_NE(errorOf(longLine).find("<32 hex digits>"), std::string::npos);
    twice.replace(twice.find("b 0120"), 6, "b 0010");
    EXPECT_NE(errorOf(twice).find("twice"), std::string::npos);
}

}  // namespace
}  // namespace convsim
