// SHA-256, the state file and the flash report.
#include <gtest/gtest.h>

#include <filesystem>

#include "flash.h"
#include "sha256.h"

namespace convsim {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Sha256, KnownDigestsAcrossBlockBoundariesAndPieces) {
    EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(bytesOf("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::vector<std::uint8_t> million(1'000'000, 'a');
    Sha256 pieces;
    for (std::size_t pos = 0; pos < million.size(); pos += 997)
        pieces.update(std::span(million).subspan(pos, std::min<std::size_t>(997, million.size() - pos)));
    const auto digest = pieces.finish();
    EXPECT_EQ(sha256Hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(digest[0], 0xcd);
    EXPECT_EQ(digest[31], 0xd0);
}

FlashState sample() {
    FlashState f;
    f.app.declaredTotal = 100;
    for (int i = 0; i < 70; ++i) f.app.bytes.push_back(static_cast<std::uint8_t>(i * 3));
    f.bcode[0x0120] = BLineData{1, 2, 3};
    f.bcode[0x0010] = BLineData{0xff};
    return f;
}

TEST(FlashFile, RoundTripsAndRefusesDamageNamingTheLine) {
    for (const FlashState& f : {FlashState{}, FlashState::factory(), sample()}) EXPECT_EQ(parseFlash(serializeFlash(f)).flash, f);
    const auto dir = std::filesystem::temp_directory_path() / ("convsim-flash-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "state").string();
    EXPECT_FALSE(loadFlashFile(path).flash || loadFlashFile(path).error) << "a missing file is a new device";
    ASSERT_EQ(saveFlashFile(path, sample()), std::nullopt);
    EXPECT_EQ(loadFlashFile(path).flash, sample());
    std::filesystem::remove_all(dir);

    const std::string good = serializeFlash(sample());
    auto errorOf = [](std::string text) { return parseFlash(text).error.value_or("sound"); };
    EXPECT_EQ(errorOf("hello\n").rfind("line 1:", 0), 0u);
    EXPECT_NE(errorOf(good.substr(0, good.find("\nb "))), "sound");
    std::string badHex = good, tooMany = good, twice = good;
    badHex[good.find("\na ") + 5] = 'z';
    EXPECT_EQ(errorOf(badHex).rfind("line 3:", 0), 0u);
    tooMany.replace(tooMany.find("application 100 70"), 18, "application 60 70");
    EXPECT_EQ(errorOf(tooMany).rfind("line 2:", 0), 0u);
    twice.replace(twice.find("b 0120"), 6, "b 0010");
    EXPECT_NE(errorOf(twice).find("twice"), std::string::npos);
}

TEST(FlashReport, ShowsStateSizeAddressesAndDigestsOfExactlyTheBytes) {
    FlashState f = sample();
    f.app.declaredTotal = 70;
    std::vector<std::uint8_t> lines(f.bcode.at(0x0010).begin(), f.bcode.at(0x0010).end());
    lines.insert(lines.end(), f.bcode.at(0x0120).begin(), f.bcode.at(0x0120).end());
    EXPECT_EQ(describeFlash(f), "application: complete\napplication size: 70 bytes\napplication total: 0x1c4d\n"
                                "application sha256: " + sha256Hex(f.app.bytes) + "\nb-code lines: 2\n"
                                "b-code lowest address: 0x0010\nb-code highest address: 0x0120\n"
                                "b-code sha256: " + sha256Hex(lines) + "\n");
    EXPECT_NE(describeFlash(sample()).find("application: incomplete (70 of 100 bytes)"), std::string::npos);
    EXPECT_NE(describeFlash(FlashState{}).find("application: none"), std::string::npos);
}

}  // namespace
}  // namespace convsim
