// A and B firmware transfers against a scripted converter: whole files and one packet / line.
#include <fstream>

#include "conv/checksum.h"
#include "conv/packets.h"
#include "core/commands.h"
#include "fake_device.h"

using namespace tavik;
using namespace tavik::test;

namespace {

std::string record(std::uint16_t address, std::uint8_t type, const Bytes& data) {
    Bytes all = {static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                 static_cast<std::uint8_t>(address & 0xFF), type};
    all.insert(all.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (auto b : all) sum += b;
    all.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
    std::string text = ":";
    char two[3];
    for (auto b : all) text += (std::snprintf(two, sizeof two, "%02X", b), two);
    return text + "\r\n";
}

Bytes bytes(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 13);
    return b;
}

// A HEX file: an address record first (never read), then records of `sizes` bytes, then the end.
std::string hexFile(const std::vector<std::size_t>& sizes, Bytes& data) {
    std::string text = record(0, 4, {0, 0});
    for (std::size_t size : sizes) {
        const Bytes chunk = bytes(size, static_cast<unsigned>(data.size()));
        text += record(static_cast<std::uint16_t>(data.size()), 0, chunk);
        data.insert(data.end(), chunk.begin(), chunk.end());
    }
    return text + ":00000001FF\r\n";
}

struct TempFile {
    std::string path;
    explicit TempFile(const std::string& content) : path(testing::TempDir() + "tavik_" + std::to_string(++count) + ".hex") {
        std::ofstream(path, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(path.c_str()); }
    static inline int count = 0;
};

// A loader that acknowledges every packet and reports the image total once it is complete.
struct LoaderModel {
    Bytes image;
    std::size_t total = 0;
    std::uint32_t corruptPacket = 0;
    void operator()(FakeDevice& d, const Bytes& r) {
        const std::uint32_t number = r[5] | (r[6] << 8);
        if (r[1] == 0xA0) {
            total = r[13] | (r[14] << 8);
            image.insert(image.end(), r.begin() + 17, r.end());
        } else if (r[1] == 0) {
            image.insert(image.end(), r.begin() + 9, r.begin() + 9 + std::min<std::size_t>(56, total - image.size()));
        }
        Bytes reply = loaderReply(conv::checkSum(r.data() + 1, 64) + (number == corruptPacket), number + 1);
        if (total != 0 && image.size() >= total) {
            const auto sum = conv::checkSum(image);
            reply[8] = sum & 0xFF;
            reply[9] = (sum >> 8) & 0xFF;
        }
        d.replies.push_back(reply);
    }
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(WholeFileA, SendsEveryPacketAndShowsTheLoadersTotal) {
    Bytes data;
    TempFile file(hexFile({16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 10, 16}, data));  // the short record ends it
    data.resize(170);
    Rig rig(file.path);
    auto model = std::make_shared<LoaderModel>();
    rig.withLoader()->onWrite = [model](FakeDevice& d, const Bytes& r) { (*model)(d, r); };
    const std::string out = rig.run("ua");

    EXPECT_EQ(model->image, data);
    EXPECT_EQ(rig.transport.loader->writes.size(), 5u);  // sync, first, two full, last
    EXPECT_NE(out.find("fopen(): found .../Build/Products/Debug/tarna.hex\nfsize="), std::string::npos);
    EXPECT_NE(out.find("*** LAST PACK has 10 bytes, packNo=9 (0009)\n"), std::string::npos);
    const auto total = conv::checkSum(data);
    char final[64];
    std::snprintf(final, sizeof final, "FINAL TOTAL CKSUM = (hi)%02x %02x\n", (total >> 8) & 0xFF, total & 0xFF);
    EXPECT_TRUE(out.ends_with(std::string(final) + "=====================================================\n"
                              "\ntransfered A code , done.\nyou can use 'runaprom ' to quit A\n"));
}

TEST(WholeFileA, WrongAcknowledgementEndsTheTransfer) {
    Bytes data;
    TempFile file(hexFile(std::vector<std::size_t>(12, 16), data));
    Rig rig(file.path);
    auto model = std::make_shared<LoaderModel>();
    model->corruptPacket = 5;
    rig.withLoader()->onWrite = [model](FakeDevice& d, const Bytes& r) { (*model)(d, r); };
    const std::string out = rig.run("ua");
    EXPECT_EQ(count(out, " error , quit program !!\n"), 3u);
    EXPECT_EQ(rig.transport.loader->writes.size(), 3u);
}

TEST(WholeFileA, DamagedOrShortFilesAreRefusedBeforeAnythingIsSent) {
    Bytes data;
    std::string text = hexFile({16, 16, 16, 16}, data);
    const std::size_t line3 = text.find(':', text.find(':', text.find(':') + 1) + 1);
    text[line3 + 42] = text[line3 + 42] == '0' ? '1' : '0';  // the record checksum of file line 3
    for (const auto& [content, why] : {std::pair{text, "line 3: checksum 0x"},
                                       std::pair{hexFile({16, 16}, data), "A image holds 32 bytes"}}) {
        TempFile file(content);
        Rig rig(file.path);
        auto loader = rig.withLoader();
        const std::string out = rig.run("ua");
        EXPECT_NE(out.find(std::string("!! tarna.hex refused, nothing sent: ") + why), std::string::npos) << out;
        EXPECT_TRUE(loader->writes.empty());
    }
    Rig missing(testing::TempDir() + "no_such.hex");
    missing.withLoader();
    EXPECT_EQ(missing.run("ua"), "you are running 'ua'\nfopen() Acode fail\n");
}

TEST(OnePacketA, AcknowledgedPacketPrintsUaok) {
    Bytes data;
    hexFile(std::vector<std::size_t>(4, 16), data);
    const conv::LoaderReport packet = conv::buildAPackets({data, 64})[0];
    const std::string arg = conv::formatALine(packet);
    Rig rig;
    auto loader = rig.withLoader();
    loader->onWrite = LoaderModel{};
    const std::string out = rig.run(arg);
    EXPECT_TRUE(out.starts_with("\n[tavik.exe] argv[1] to (char) array: " + arg + "\n00, \na0, ")) << out;
    EXPECT_TRUE(out.ends_with(" ...(more readback)\nuaok\n"));
    EXPECT_EQ(loader->writes.at(0), Bytes(packet.begin(), packet.end()));
}

TEST(OnePacketA, FailsAfterTenWrongRepliesOrWhenNoFurtherReplyComes) {
    const std::string arg = "00" + std::string(128, 'f');
    Rig ten;
    auto loader = ten.withLoader();
    loader->replies.assign(10, loaderReply(1, 4));
    std::string out = ten.run(arg);
    EXPECT_EQ(count(out, "ckSum_r="), 10u);
    EXPECT_TRUE(out.ends_with(" ...(more readback)\nuafail ckSum\n"));
    EXPECT_EQ(loader->readTimeouts.front(), hid::kBlocking);
    EXPECT_EQ(loader->readTimeouts.back(), 1000);

    Rig once;
    auto quiet = once.withLoader();
    quiet->replies.push_back(loaderReply(1, 4));
    out = once.run(arg);
    EXPECT_EQ(quiet->readTimeouts, (std::vector<int>{hid::kBlocking, 1000}));
    EXPECT_TRUE(out.ends_with("ckSum_r: no further reply within 1000 ms\nuafail ckSum\n"));

    Rig refused;
    refused.withLoader()->failWrites = 1;
    EXPECT_TRUE(refused.run(arg).ends_with("WRITE65() uafail\n"));
}

TEST(WholeFileB, SendsEverySixteenByteLineAndSkipsOthers) {
    std::string text = record(0, 4, {0, 0}) + record(0, 0, bytes(16, 1)) + record(16, 0, bytes(8, 2)) +
                       record(0x1234, 0, bytes(16, 3)) + ":00000001FF\r\n";
    TempFile file(text);
    Rig rig({}, file.path);
    auto normal = rig.withNormal();
    normal->onWrite = [](FakeDevice& d, const Bytes& frame) {
        Bytes echo = frame;
        echo[0] = 1;
        d.replies.push_back(echo);
    };
    const std::string out = rig.run("ub");
    ASSERT_EQ(normal->writes.size(), 2u);
    EXPECT_EQ(normal->writes[1][3], 0x34);
    EXPECT_EQ(normal->writes[1][4], 0x12);
    EXPECT_NE(out.find("@0000, 01"), std::string::npos);
    EXPECT_NE(out.find("line001,ckSum_w="), std::string::npos);
    EXPECT_EQ(count(out, "### hid_read(32)=01 02 12 "), 2u);

    char& digit = text[text.find("\r\n", 20) - 1];  // record checksum of file line 2
    digit = digit == '0' ? '1' : '0';
    TempFile damaged(text);
    Rig refused({}, damaged.path);
    auto untouched = refused.withNormal();
    EXPECT_EQ(refused.run("ub").rfind("!! tarn_b.hex refused, nothing sent: line 2: checksum", 0), 0u);
    EXPECT_TRUE(untouched->writes.empty());
}
