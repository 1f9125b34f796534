#include "flash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "sha256.h"

namespace convsim {

namespace {
constexpr std::string_view kMagic = "convsim-state 1";
constexpr std::size_t kBytesPerLine = 32;
constexpr std::size_t kFactoryImageBytes = 4096;

std::string hexOf(const std::uint8_t* bytes, std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += conv::hexByte(bytes[i]);
    return text;
}

std::string hex4(std::uint32_t value) {
    return conv::hexByte(static_cast<std::uint8_t>(value >> 8)) + conv::hexByte(static_cast<std::uint8_t>(value));
}

bool parseHexBytes(std::string_view text, std::vector<std::uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        auto b = conv::parseHexByte(text.substr(i, 2));
        if (!b) return false;
        out.push_back(*b);
    }
    return true;
}

bool parseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 9) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return true;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && line[pos] == ' ') ++pos;
        std::size_t end = line.find(' ', pos);
        if (end == std::string_view::npos) end = line.size();
        if (end > pos) out.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return out;
}
}  // namespace

std::uint16_t AppImage::total16() const { return static_cast<std::uint16_t>(conv::checkSum(bytes) & 0xFFFF); }

FlashState FlashState::factory() {
    FlashState flash;
    flash.app.declaredTotal = kFactoryImageBytes;
    for (std::size_t i = 0; i < kFactoryImageBytes; ++i)
        flash.app.bytes.push_back(static_cast<std::uint8_t>((i * 7 + 0x31) ^ (i >> 8)));
    return flash;
}

std::string serializeFlash(const FlashState& flash) {
    std::string text;
    text += kMagic;
    text += "\napplication " + std::to_string(flash.app.declaredTotal) + " " + std::to_string(flash.app.bytes.size()) +
            "\n";
    for (std::size_t pos = 0; pos < flash.app.bytes.size(); pos += kBytesPerLine) {
        const std::size_t n = std::min(kBytesPerLine, flash.app.bytes.size() - pos);
        text += "a " + hexOf(flash.app.bytes.data() + pos, n) + "\n";
    }
    text += "bcode " + std::to_string(flash.bcode.size()) + "\n";
    for (const auto& [address, data] : flash.bcode)
        text += "b " + hex4(address) + " " + hexOf(data.data(), data.size()) + "\n";
    text += "end\n";
    return text;
}

FlashParse parseFlash(std::string_view text) {
    FlashParse result;
    std::vector<std::string_view> lines;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    auto fail = [&](std::size_t index, const std::string& what) {
        result.error = "line " + std::to_string(index + 1) + ": " + what;
        return result;
    };
    if (lines.empty() || lines[0] != kMagic)
        return fail(0, "not a convsim state file (expected '" + std::string(kMagic) + "')");

    std::size_t i = 1;
    auto head = i < lines.size() ? words(lines[i]) : std::vector<std::string_view>{};
    std::uint32_t declared = 0, held = 0;
    if (head.size() != 3 || head[0] != "application" || !parseNumber(head[1], declared) || !parseNumber(head[2], held))
        return fail(i, "expected 'application <declared length> <bytes held>'");
    if (held > declared)
        return fail(i, "holds " + std::to_string(held) + " bytes of a " + std::to_string(declared) + "-byte image");
    FlashState& flash = result.flash;
    flash.app.declaredTotal = declared;
    for (++i; flash.app.bytes.size() < held; ++i) {
        auto w = i < lines.size() ? words(lines[i]) : std::vector<std::string_view>{};
        if (w.size() != 2 || w[0] != "a" || !parseHexBytes(w[1], flash.app.bytes))
            return fail(i, "expected 'a <hex bytes>' (" + std::to_string(held - flash.app.bytes.size()) +
                               " bytes still missing)");
    }
    if (flash.app.bytes.size() != held) return fail(i - 1, "more image bytes than the 'application' line announces");

    auto bhead = i < lines.size() ? words(lines[i]) : std::vector<std::string_view>{};
    std::uint32_t count = 0;
    if (bhead.size() != 2 || bhead[0] != "bcode" || !parseNumber(bhead[1], count))
        return fail(i, "expected 'bcode <lines>'");
    for (++i; flash.bcode.size() < count; ++i) {
        auto w = i < lines.size() ? words(lines[i]) : std::vector<std::string_view>{};
        std::vector<std::uint8_t> address, data;
        if (w.size() != 3 || w[0] != "b" || w[1].size() != 4 || !parseHexBytes(w[1], address) || w[2].size() != 32 ||
            !parseHexBytes(w[2], data))
            return fail(i, "expected 'b <4 hex digits> <32 hex digits>'");
        const auto at = static_cast<std::uint16_t>((address[0] << 8) | address[1]);
        if (flash.bcode.contains(at)) return fail(i, "address " + hex4(at) + " appears twice");
        BLineData line{};
        std::copy(data.begin(), data.end(), line.begin());
        flash.bcode[at] = line;
    }
    if (i >= lines.size() || lines[i] != "end") return fail(i, "expected 'end'");
    return result;
}

std::string describeFlash(const FlashState& flash) {
    std::ostringstream out;
    const AppImage& app = flash.app;
    if (app.declaredTotal == 0) {
        out << "application: none\n";
    } else if (app.complete()) {
        out << "application: complete\n";
    } else {
        out << "application: incomplete (" << app.bytes.size() << " of " << app.declaredTotal << " bytes)\n";
    }
    out << "application size: " << app.bytes.size() << " bytes\n";
    out << "application total: 0x" << hex4(app.total16()) << "\n";
    out << "application sha256: " << sha256Hex(app.bytes) << "\n";
    out << "b-code lines: " << flash.bcode.size() << "\n";
    std::vector<std::uint8_t> data;
    for (const auto& [address, line] : flash.bcode) data.insert(data.end(), line.begin(), line.end());
    if (!flash.bcode.empty()) {
        out << "b-code lowest address: 0x" << hex4(flash.bcode.begin()->first) << "\n";
        out << "b-code highest address: 0x" << hex4(flash.bcode.rbegin()->first) << "\n";
    }
    out << "b-code sha256: " << sha256Hex(data) << "\n";
    return out.str();
}

FlashLoad loadFlashFile(const std::string& path) {
    FlashLoad load;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) load.error = path + ": " + std::strerror(errno);
        return load;
    }
    std::ostringstream content;
    content << in.rdbuf();
    FlashParse parsed = parseFlash(content.str());
    if (parsed.error) {
        load.error = path + ": " + *parsed.error;
    } else {
        load.flash = std::move(parsed.flash);
    }
    return load;
}

std::optional<std::string> saveFlashFile(const std::string& path, const FlashState& flash) {
    const std::string temp = path + ".tmp";
    const std::string text = serializeFlash(flash);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return temp + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string error = temp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return error;
        }
        done += static_cast<std::size_t>(n);
    }
    // No fsync: the rename keeps the file whole if convsim is killed, which is what matters here.
    if (::close(fd) != 0) {
        ::unlink(temp.c_str());
        return temp + ": " + std::strerror(errno);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string error = path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return error;
    }
    return std::nullopt;
}

}  // namespace convsim
