// Intel HEX files as both programs read them: the input is a whole file. Gathers the A image and
// the B lines, and checks that whatever is accepted can be sent exactly as read.
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

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

void checkLines(std::string_view content, const std::vector<std::string>& lines) {
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        require(!line.empty() && line.size() <= 1023);
        // Only a full buffer or the end of the file ends a line without its line feed.
        if (line.back() != '\n') require(line.size() == 1023 || i + 1 == lines.size());
        joined += line;
    }
    require(joined == content);
}

void checkAImage(const std::vector<std::string>& lines) {
    const conv::AImageResult a = conv::gatherAImage(lines);
    if (!a.ok()) {
        require(a.error->line <= lines.size());
        require(!a.error->message().empty());
        return;
    }
    const conv::AImage& image = a.image;
    require(image.bytes.size() >= conv::kMinAImageBytes);
    require(image.total == image.bytes.size());

    const auto packets = conv::buildAPackets(image);
    const std::size_t full = (image.bytes.size() - conv::loader::kFirstImageBytes) / conv::loader::kContinuationBytes;
    require(packets.size() == full + 2);
    // Every image byte travels once, in order, and every packet survives its A-line argument.
    std::uint32_t carried = 0;
    std::uint32_t number = conv::loader::kFirstAPacketNo;
    for (std::size_t k = 0; k < packets.size(); ++k) {
        const conv::LoaderReport& p = packets[k];
        require(p[0] == 0);
        require((p[5] | (p[6] << 8)) == (number & 0xFFFF));
        number += 2;
        const std::size_t from = k == 0 ? 1 + conv::loader::kFirstImage : 1 + conv::loader::kData;
        carried += conv::checkSum(p.data() + from, static_cast<std::int32_t>(conv::kLoaderReportSize - from));
        const std::string text = conv::formatALine(p);
        require(text.size() == 2 * conv::kLoaderReportSize);
        const auto back = conv::parseALine(text);
        require(back.has_value() && *back == p);
    }
    require((carried & 0xFFFF) == image.checksum16());
}

void checkBLines(const std::vector<std::string>& lines) {
    const conv::BLinesResult b = conv::gatherBLines(lines);
    if (!b.ok()) {
        require(b.error->line >= 1 && b.error->line <= lines.size());
        return;
    }
    for (const std::string& line : b.lines) {
        require(line.size() == conv::kBLineLength);
        require(!conv::checkRecord(line).has_value());
        const auto parsed = conv::parseBLine(line);
        require(parsed.has_value());
        const conv::FrameReport frame = conv::makeBLineFrame(*parsed);
        require(conv::frameChecksumOk(frame.data(), frame.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = conv::splitHexLines(content);
    checkLines(content, lines);
    checkAImage(lines);
    checkBLines(lines);
    for (const std::string& line : lines) {
        if (!conv::checkRecord(line)) require(!line.empty() && line[0] == ':');
        for (int n = 0; n <= 16; n += 4) (void)conv::HexStringToDec(line, n);
    }
    return 0;
}
