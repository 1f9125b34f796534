#pragma once
// QUILLMERE_TIME_SCALE: one factor for every fixed pause and every run time limit, so tests and
// demos can run the update quickly. Nothing else changes with it.
#include <optional>
#include <string>

namespace quill {

inline constexpr const char* kTimeScaleEnv = "QUILLMERE_TIME_SCALE";

struct TimeScale {
    double factor = 1.0;
    std::optional<std::string> complaint;  // log line when the setting was present but unusable
};

// A positive finite number (e.g. "0.01", "2") is taken; unset or empty gives 1 silently; any
// other text gives 1 and a complaint.
TimeScale parseTimeScale(const char* value);

// parseTimeScale() of the environment setting.
TimeScale timeScaleFromEnvironment();

// QUILLMERE_PAUSE_SCALE: a further factor for the fixed pauses only (0 removes them), so that a
// benchmark can run the whole update at the device's own pace while every run time limit stays.
inline constexpr const char* kPauseScaleEnv = "QUILLMERE_PAUSE_SCALE";
// A finite number >= 0 is taken; unset or empty gives 1 silently; any other text gives 1 and a
// complaint.
TimeScale parsePauseScale(const char* value);
TimeScale pauseScaleFromEnvironment();

}  // namespace quill
