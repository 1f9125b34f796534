// The bundle's path as the front end reads it at start-up: version text, expected checksum,
// and where the tool, pictures and firmware files are. The input is the whole path.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "quill/bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);

    const quill::BundleName name = quill::readBundleName(path);
    FUZZ_REQUIRE(!name.logLines.empty() && name.logLines.front() == path);
    // The checksum is either the placeholder, with the alert that stops START, or exactly what
    // the final check can look for.
    FUZZ_REQUIRE(name.checksumProblem.has_value() == (name.localCksum == "LB HB"));
    if (name.localCksum != "LB HB") {
        const auto value = quill::parseLocalCksum(name.localCksum);
        FUZZ_REQUIRE(value.has_value() && *value <= 0xFFFF);
        for (char c : name.localCksum) FUZZ_REQUIRE(c == ' ' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    if (name.versionText) {
        FUZZ_REQUIRE(name.versionText->size() >= 3 && (*name.versionText)[1] == ' ');
        FUZZ_REQUIRE(path.find(name.versionText->substr(0, 1)) != std::string_view::npos);
    }
    (void)quill::versionDisplayText(path);
    (void)quill::parseLocalCksum(path);

    const quill::BundleLayout layout = quill::locateBundle(path);
    (void)layout;
    return 0;
}
