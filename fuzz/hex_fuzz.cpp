// Intel HEX files as both programs read them: the input is a whole file. Gathers the A image and
// the B lines, and checks that whatever is accepted is exactly what the file says: every byte at
// its address, nothing left out.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <string>
#include <string_view>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/hexfile.h"
#include "conv/packets.h"
#include "fuzz_check.h"
#include "hex_reference.h"

namespace {

void checkLines(std::string_view content, const std::vector<std::string>& lines) {
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        FUZZ_REQUIRE(!line.empty());
        // Lines are whole: only the end of the file ends one without its line feed, and a line
        // feed ends one.
        FUZZ_REQUIRE(line.find('\n') == line.size() - 1 ||
                     (line.find('\n') == std::string::npos && i + 1 == lines.size()));
        joined += line;
    }
    FUZZ_REQUIRE(joined == content);
}

void checkAImage(std::string_view content, const std::vector<std::string>& lines) {
    const conv::AImageResult a = conv::gatherAImage(lines);
    if (!a.ok()) {
        FUZZ_REQUIRE(a.error->line <= lines.size() + 1);
        FUZZ_REQUIRE(!a.error->message().empty());
        return;
    }
    const conv::AImage& image = a.image;
    FUZZ_REQUIRE(image.bytes.size() >= conv::kMinAImageBytes && image.bytes.size() <= conv::kMaxAImageBytes);
    // The sound-file property: the reference reader gives exactly this image.
    const auto sent = fuzzref::sentBy(content);
    FUZZ_REQUIRE(sent.has_value() && sent->image == image.bytes);
    FUZZ_REQUIRE(image.total == image.bytes.size());
    // The image is the file's data from address 0 on, and all of it.
    const fuzzref::Contents contents = fuzzref::contentsOf(lines);
    FUZZ_REQUIRE(contents.size() == image.bytes.size());
    for (std::size_t p = 0; p < image.bytes.size(); ++p)
        FUZZ_REQUIRE(fuzzref::says(contents, static_cast<std::uint32_t>(p), image.bytes[p]));

    const auto packets = conv::buildAPackets(image);
    const std::size_t full = (image.bytes.size() - conv::loader::kFirstImageBytes) / conv::loader::kContinuationBytes;
    FUZZ_REQUIRE(packets.size() == full + 2);
    // Every image byte travels once, in order, and every packet survives its A-line argument.
    std::uint32_t carried = 0;
    std::uint32_t number = conv::loader::kFirstAPacketNo;
    for (std::size_t k = 0; k < packets.size(); ++k) {
        const conv::LoaderReport& p = packets[k];
        FUZZ_REQUIRE(p[0] == 0);
        FUZZ_REQUIRE((p[5] | (p[6] << 8)) == (number & 0xFFFF));
        number += 2;
        const std::size_t from = k == 0 ? 1 + conv::loader::kFirstImage : 1 + conv::loader::kData;
        carried += conv::checkSum(p.data() + from, static_cast<std::int32_t>(conv::kLoaderReportSize - from));
        const std::string text = conv::formatALine(p);
        FUZZ_REQUIRE(text.size() == 2 * conv::kLoaderReportSize);
        const auto back = conv::parseALine(text);
        FUZZ_REQUIRE(back.has_value() && *back == p);
    }
    FUZZ_REQUIRE((carried & 0xFFFF) == image.checksum16());
}

void checkBLines(std::string_view content, const std::vector<std::string>& lines) {
    const conv::BLinesResult b = conv::gatherBLines(lines);
    if (!b.ok()) {
        FUZZ_REQUIRE(b.error->line <= lines.size() + 1);
        return;
    }
    // The sound-file property: the reference reader gives exactly these lines, each an exact
    // 16-byte record.
    const auto sent = fuzzref::sentBy(content);
    FUZZ_REQUIRE(!b.lines.empty() && sent.has_value() && sent->lines == b.lines);
    const fuzzref::Contents contents = fuzzref::contentsOf(lines);
    for (const std::string& line : b.lines) {
        FUZZ_REQUIRE(line.size() == conv::kBLineLength && line.ends_with("\r\n"));
        const auto record = fuzzref::readRecord(line);
        FUZZ_REQUIRE(record && record->type == 0 && record->data.size() == 16);
        const auto parsed = conv::parseBLine(line);
        FUZZ_REQUIRE(parsed.has_value() && parsed->address == record->offset);
        // The file never contradicts itself about a byte that is sent.
        for (std::size_t i = 0; i < 16; ++i)
            FUZZ_REQUIRE(fuzzref::says(contents, parsed->address + static_cast<std::uint32_t>(i), parsed->data[i]));
        const conv::FrameReport frame = conv::makeBLineFrame(*parsed);
        FUZZ_REQUIRE(conv::frameChecksumOk(frame.data(), frame.size()) && !conv::isRetryFrame(frame));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = conv::splitHexLines(content);
    checkLines(content, lines);
    checkAImage(content, lines);
    checkBLines(content, lines);
    for (const std::string& line : lines) {
        if (!conv::checkRecord(line)) FUZZ_REQUIRE(!line.empty() && line[0] == ':');
        for (int n = 0; n <= 16; n += 4) (void)conv::HexStringToDec(line, n);
    }
    return 0;
}
