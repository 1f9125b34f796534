#include "quill/bundle.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "conv/hexfield.h"

namespace quill {
namespace {

std::vector<std::string_view> splitFields(std::string_view path) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('_', start);
        fields.push_back(path.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) return fields;
        start = end + 1;
    }
}

bool startsWith(std::string_view text, std::string_view a, std::string_view b) {
    return text.starts_with(a) || text.starts_with(b);
}

}  // namespace

ChecksumProblem checksumFieldProblem(std::optional<std::string_view> found) {
    const std::string expected =
        "the first field beginning with 0x must be 0x and four hexadecimal digits, for example "
        "Quillmere_V100_0x8dcc.app";
    const std::string what =
        found ? "'s checksum field \"" + std::string(*found) + "\" is malformed" : " has no checksum field";
    return {"the bundle name" + what, "The bundle name" + what + ": " + expected};
}

std::string versionDisplayText(std::string_view field) {
    if (field.size() < 2) return std::string(field);
    std::string text(field);
    text.insert(1, " ");
    text.insert(3, ".");
    if (field.size() > 3) text.insert(5, ".");
    return text;
}

BundleName readBundleName(std::string_view bundlePath) {
    BundleName result;
    result.localCksum = "LB HB";
    result.logLines.emplace_back(bundlePath);
    const auto fields = splitFields(bundlePath);

    for (std::string_view field : fields) {
        if (field == "Vxx") {
            result.logLines.emplace_back("bad str 'Vxx'");
            continue;
        }
        // A lone "v" has nothing to show: not a version field.
        if (field.size() >= 2 && (field[0] == 'v' || field[0] == 'V')) {
            result.versionText = versionDisplayText(field);
            break;
        }
    }

    // The first "0x" field decides: four hexadecimal digits, then the end of the field or a
    // character that is no digit (the bundle's ".app" when the field comes last).
    const auto field =
        std::find_if(fields.begin(), fields.end(), [](std::string_view f) { return startsWith(f, "0x", "0X"); });
    if (field == fields.end()) {
        result.checksumProblem = checksumFieldProblem(std::nullopt);
    } else if (field->size() < 6 || !conv::isHexDigits(field->substr(2, 4)) ||
               (field->size() > 6 && conv::isHexDigit((*field)[6]))) {
        result.checksumProblem = checksumFieldProblem(*field);
    } else {
        const std::string_view f = *field;
        std::string text{f[4], f[5], ' ', f[2], f[3]};
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        result.localCksum = text;
    }
    return result;
}

std::optional<unsigned> parseLocalCksum(std::string_view text) {
    if (text.size() != 5 || text[2] != ' ') return std::nullopt;
    const auto low = conv::parseHexByte(text.substr(0, 2));
    const auto high = conv::parseHexByte(text.substr(3, 2));
    if (!low || !high) return std::nullopt;
    return static_cast<unsigned>(*low) | (static_cast<unsigned>(*high) << 8);
}

BundleLayout locateBundle(std::string_view executablePath) {
    namespace fs = std::filesystem;
    const fs::path exe{std::string(executablePath)};
    const fs::path macos = exe.parent_path();
    const fs::path contents = macos.parent_path();
    const fs::path bundle = contents.parent_path();
    if (macos.filename() == "MacOS" && contents.filename() == "Contents" && bundle.extension() == ".app" &&
        bundle.stem() != "") {
        return {bundle.string(), (contents / "Resources").string(), bundle.parent_path().string()};
    }
    const std::string own = macos.string();
    return {own, own, own};
}

}  // namespace quill
