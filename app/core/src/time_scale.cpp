#include "quill/time_scale.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace quill {

namespace {

TimeScale parseFactor(const char* value, const char* name, bool zeroAllowed) {
    TimeScale scale;
    if (value == nullptr || *value == '\0') return scale;
    const std::string text(value);
    char* end = nullptr;
    const double factor = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0' && std::isfinite(factor) && (factor > 0 || (zeroAllowed && factor == 0))) {
        scale.factor = factor;
    } else {
        scale.complaint = std::string(name) + " '" + text + "' is not a " +
                          (zeroAllowed ? "number >= 0" : "positive number") + "; using 1";
    }
    return scale;
}

}  // namespace

TimeScale parseTimeScale(const char* value) { return parseFactor(value, kTimeScaleEnv, false); }

TimeScale timeScaleFromEnvironment() { return parseTimeScale(std::getenv(kTimeScaleEnv)); }

TimeScale parsePauseScale(const char* value) { return parseFactor(value, kPauseScaleEnv, true); }

TimeScale pauseScaleFromEnvironment() { return parsePauseScale(std::getenv(kPauseScaleEnv)); }

}  // namespace quill
