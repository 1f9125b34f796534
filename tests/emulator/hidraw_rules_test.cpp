// Which reports reach a hidraw file and how many wait there, as the kernel decides. What tavik
// sees of it through the nodes is in tavik_session.py and the e2e matrix.
#include <gtest/gtest.h>

#include "hidraw_rules.h"

namespace convsim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Byte-wide fields on a vendor page: `count` input bytes as report `id` (0: no Report ID item),
// then a longer output report, which must not count as an input one.
Bytes descriptor(std::uint8_t id, std::uint8_t count) {
    Bytes d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};
    if (id != 0) d.insert(d.end(), {0x85, id});
    d.insert(d.end(), {0x95, count, 0x09, 0x01, 0x81, 0x02});
    if (id != 0) d.insert(d.end(), {0x85, static_cast<std::uint8_t>(id + 4)});
    d.insert(d.end(), {0x95, 0x7F, 0x09, 0x01, 0x91, 0x02, 0xC0});
    return d;
}

TEST(HidrawRules, OnlyDeclaredInputReportsThatFitTheTransferReachTheFile) {
    const InputReports numbered = inputReportsOf(descriptor(1, 31));
    EXPECT_TRUE(reachesHidraw(numbered, Bytes(32, 1)));
    EXPECT_TRUE(reachesHidraw(numbered, Bytes(4, 1))) << "a short report is passed on as it came";
    EXPECT_FALSE(reachesHidraw(numbered, Bytes(33, 1))) << "longer than the interrupt-IN transfer";
    EXPECT_FALSE(reachesHidraw(numbered, Bytes(32, 5))) << "5 is an output report";
    EXPECT_FALSE(reachesHidraw(numbered, Bytes{}));
    const InputReports plain = inputReportsOf(descriptor(0, 64));
    EXPECT_TRUE(reachesHidraw(plain, Bytes(64, 0xEE))) << "without numbers, every report is report 0";
    EXPECT_FALSE(reachesHidraw(plain, Bytes(65, 0)));
}

TEST(HidrawRules, AFullQueueKeepsWhatWaitsAndDropsTheNewest) {
    HidrawQueue queue;
    for (std::uint8_t i = 0; i < 63; ++i) EXPECT_TRUE(queue.push({i})) << int{i};
    EXPECT_FALSE(queue.push({63}));
    EXPECT_EQ(queue.front(), Bytes{0});
    queue.pop();
    EXPECT_TRUE(queue.push({64}));
    EXPECT_EQ(queue.size(), 63u);
}

}  // namespace
}  // namespace convsim::test
