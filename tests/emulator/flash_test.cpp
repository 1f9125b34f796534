// SHA-256, the state file and the flash report.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "flash.h"
#include "sha256.h"

namespace convsim {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Sha256, KnownDigestsAcrossBlockBoundaries) {
    EXPECT_EQ(sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(bytesOf("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256Hex(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    const std::vector<std::uint8_t> million(1'000'000, 'a');
    EXPECT_EQ(sha256Hex(million), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    // Fed in odd pieces, the digest is the same.
    Sha256 pieces;
    for (std::size_t pos = 0; pos < million.size(); pos += 997)
        pieces.update(std::span(million).subspan(pos, std::min<std::size_t>(997, million.size() - pos)));
    auto digest = pieces.finish();
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

TEST(FlashFile, RoundTripsThroughTextAndTheFile) {
    for (const FlashState& f : {FlashState{}, FlashState::factory(), sample()}) {
        FlashParse parsed = parseFlash(serializeFlash(f));
        ASSERT_FALSE(parsed.error) << *parsed.error;
        EXPECT_EQ(parsed.flash, f);
    }
    const auto dir = std::filesystem::temp_directory_path() / ("convsim-flash-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "state").string();
    EXPECT_FALSE(loadFlashFile(path).flash) << "a missing file is a fresh device";
    EXPECT_FALSE(loadFlashFile(path).error);
    ASSERT_EQ(saveFlashFile(path, sample()), std::nullopt);
    EXPECT_EQ(loadFlashFile(path).flash, sample());
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    std::filesystem::remove_all(dir);
}

TEST(FlashFile, DamagedFilesAreRefusedWithTheLine) {
    const std::string good = serializeFlash(sample());
    auto errorOf = [](std::string text) {
        auto parsed = parseFlash(text);
        return parsed.error.value_or("");
    };
    EXPECT_EQ(errorOf("hello\n").rfind("line 1:", 0), 0u);
    std::string cut = good.substr(0, good.find("\nb "));
    EXPECT_NE(errorOf(cut), "");
    std::string badHex = good;
    badHex[good.find("\na ") + 5] = 'z';
    EXPECT_EQ(errorOf(badHex).rfind("line 3:", 0), 0u);
    std::string tooMany = good;
    tooMany.replace(tooMany.find("application 100 70"), 18, "application 60 70");
    EXPECT_EQ(errorOf(tooMany).rfind("line 2:", 0), 0u);
    std::string twice = good;
    twice.replace(twice.find("b 0120"), 6, "b 0010");
    EXPECT_NE(errorOf(twice).find("twice"), std::string::npos);
}

TEST(FlashReport, ShowsSizesTotalsAddressesAndDigestsOfExactlyTheBytes) {
    FlashState f = sample();
    f.app.declaredTotal = 70;
    const std::string text = describeFlash(f);
    EXPECT_NE(text.find("application: complete\n"), std::string::npos) << text;
    EXPECT_NE(text.find("application size: 70 bytes\n"), std::string::npos);
    std::uint32_t sum = 0;
    for (auto b : f.app.bytes) sum += b;
    char total[32];
    std::snprintf(total, sizeof total, "application total: 0x%04x\n", sum & 0xFFFF);
    EXPECT_NE(text.find(total), std::string::npos);
    EXPECT_NE(text.find("application sha256: " + sha256Hex(f.app.bytes)), std::string::npos);
    EXPECT_NE(text.find("b-code lines: 2\nb-code lowest address: 0x0010\nb-code highest address: 0x0120\n"), std::string::npos);
    std::vector<std::uint8_t> inOrder(f.bcode.at(0x0010).begin(), f.bcode.at(0x0010).end());
    inOrder.insert(inOrder.end(), f.bcode.at(0x0120).begin(), f.bcode.at(0x0120).end());
    EXPECT_NE(text.find("b-code sha256: " + sha256Hex(inOrder)), std::string::npos);

    EXPECT_NE(describeFlash(sample()).find("application: incomplete (70 of 100 bytes)"), std::string::npos);
    EXPECT_NE(describeFlash(FlashState{}).find("application: none"), std::string::npos);
}

}  // namespace
}  // namespace convsim
