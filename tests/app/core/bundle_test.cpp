// Version text and expected checksum from the bundle path; where the parts live; time factor.
#include <gtest/gtest.h>

#include "quill/bundle.h"
#include "quill/time_scale.h"

using namespace quill;

namespace {
struct NameCase {
    const char* path;
    const char* version;  // nullptr: none
    const char* cksum;
};
}  // namespace

TEST(BundleName, VersionAndChecksumFromTheFields) {
    const NameCase cases[] = {
        {"/Apps/Quillmere_V123_0x1a2b.app", "V 1.2.3", "2b 1a"},
        {"/Apps/Quillmere.app", nullptr, "LB HB"},
        {"/Apps/Quillmere_V12_0x1a2b.app", "V 1.2", "2b 1a"},
        {"/Apps/Quillmere_V1_0x1a2b.app", "V 1.", "2b 1a"},
        {"/Apps/Quillmere_v1234_0x1a2b.app", "v 1.2.34", "2b 1a"},
        {"/Apps/Quillmere_0x1a2b_V123.app", "V 1.2.3.app", "2b 1a"},
        {"/home/my_vault/Quillmere_V123_0x1a2b.app", "v a.u.lt/Quillmere", "2b 1a"},
        {"/Apps/Quillmere_V1_V2_0x1111_0x2222.app", "V 1.", "11 11"},
        // Upper-case digits are kept in lower case, as the tool prints them.
        {"/Apps/Quillmere_V123_0X1A2B.app", "V 1.2.3", "2b 1a"},
        // A lone "V" is no version; a malformed checksum field is no checksum.
        {"/Apps/Quillmere_V_V9_0x1g2b_0xab.app", "V 9.", "LB HB"},
        {"/Apps/Quillmere_V9_0x12_0xabcd.app", "V 9.", "cd ab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const BundleName name = readBundleName(c.path);
        if (c.version) {
            ASSERT_TRUE(name.versionText.has_value());
            EXPECT_EQ(*name.versionText, c.version);
        } else {
            EXPECT_FALSE(name.versionText.has_value());
        }
        EXPECT_EQ(name.localCksum, c.cksum);
        EXPECT_EQ(name.logLines.front(), c.path);
    }
}

TEST(BundleName, PlaceholderIsLoggedAndSkipped) {
    const BundleName name = readBundleName("/Apps/Quillmere_Vxx_0x1a2b.app");
    EXPECT_FALSE(name.versionText.has_value());
    EXPECT_EQ(name.localCksum, "2b 1a");
    EXPECT_EQ(name.logLines, (std::vector<std::string>{"/Apps/Quillmere_Vxx_0x1a2b.app", "bad str 'Vxx'"}));
    EXPECT_EQ(readBundleName("/A_Vxx_V34.app").versionText, "V 3.4..app");
}

TEST(BundleName, ExpectedChecksumParsesEitherCaseAndRejectsPlaceholder) {
    EXPECT_EQ(parseLocalCksum("2b 1a"), 0x1a2bu);
    EXPECT_EQ(parseLocalCksum("2B 1A"), 0x1a2bu);
    EXPECT_FALSE(parseLocalCksum("LB HB"));
    EXPECT_FALSE(parseLocalCksum("2b1a"));
}

TEST(BundleLayout, InsideAndOutsideABundle) {
    const BundleLayout in = locateBundle("/opt/x/Quillmere_V1_0x0000.app/Contents/MacOS/Quillmere");
    EXPECT_EQ(in.bundlePath, "/opt/x/Quillmere_V1_0x0000.app");
    EXPECT_EQ(in.resourceDir, "/opt/x/Quillmere_V1_0x0000.app/Contents/Resources");
    EXPECT_EQ(in.firmwareDir, "/opt/x");
    const BundleLayout out = locateBundle("/opt/build/app/Quillmere");
    EXPECT_EQ(out.bundlePath, "/opt/build/app");
    EXPECT_EQ(out.resourceDir, "/opt/build/app");
    EXPECT_EQ(out.firmwareDir, "/opt/build/app");
    EXPECT_EQ(locateBundle("/opt/Contents/MacOS/Quillmere").resourceDir, "/opt/Contents/MacOS");
}

TEST(TimeScaleSetting, PositiveNumbersOnly) {
    EXPECT_DOUBLE_EQ(parseTimeScale(nullptr).factor, 1.0);
    EXPECT_FALSE(parseTimeScale("").complaint);
    EXPECT_DOUBLE_EQ(parseTimeScale("0.01").factor, 0.01);
    EXPECT_FALSE(parseTimeScale("2").complaint);
    for (const char* bad : {"0", "-1", "abc", "1.5x", "inf", "nan"}) {
        SCOPED_TRACE(bad);
        const TimeScale scale = parseTimeScale(bad);
        EXPECT_DOUBLE_EQ(scale.factor, 1.0);
        ASSERT_TRUE(scale.complaint);
        EXPECT_NE(scale.complaint->find(bad), std::string::npos);
    }
}
