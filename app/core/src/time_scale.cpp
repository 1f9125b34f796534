#include "quill/time_scale.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace quill {

TimeScale parseTimeScale(const char* value) {
    TimeScale scale;
    if (value == nullptr || *value == '\0') return scale;
    const std::string text(value);
    char* end = nullptr;
    const double factor = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0' && std::isfinite(factor) && factor > 0) {
        scale.factor = factor;
    } else {
        scale.complaint = std::string(kTimeScaleEnv) + " '" + text +
                          "' is not a positive number; using 1";
    }
    return scale;
}

TimeScale timeScaleFromEnvironment() { return parseTimeScale(std::getenv(kTimeScaleEnv)); }

}  // namespace quill
