#pragma once
// quillmere-cli update: one START on one converter, as the window runs it (the same core, tool
// runner, holder, lock and record), or with --all one such update per converter present, each
// in a quillmere-cli process of its own.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "conv/usbport.h"
#include "progress_report.h"
#include "quill/bundle.h"

namespace quill::qt {
class ProcessToolRunner;
}

namespace quill::cli {

// The time limit of a converter listing: the core's, under the time scale.
std::chrono::milliseconds listingLimit();

// Waits until the listing shows a converter (on `port` when one is given), looking four times a
// second, at most `seconds` (none: no limit). The converters then listed (none after the limit),
// or nullopt when a signal ended the wait.
std::optional<std::vector<conv::usbport::PortNode>> waitForConverter(qt::ProcessToolRunner& runner,
                                                                     const std::string& port,
                                                                     std::optional<int> seconds,
                                                                     ProgressReport& report);

// One update; its exit status.
int updateOne(const BundleLayout& layout, const CliOptions& options, ProgressReport& report);
// One update per converter present, side by side; the worst exit status of theirs.
int updateAll(const BundleLayout& layout, const CliOptions& options, ProgressReport& report);

}  // namespace quill::cli
