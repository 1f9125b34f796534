#pragma once
// What a tool run proves. Only a run that ended by itself with exit status 0 proves anything, and
// then only through the words that tavik prints for what the converter did: the absence of a
// failure word is no proof.
#include <algorithm>
#include <string>

#include "conv/packets.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "quill/ports.h"
#include "text_search.h"

namespace quill::evidence {

inline bool ranToEnd(const RunResult& r) { return r.end == RunEnd::Exited; }
// The loader read the command and its reply was printed.
inline bool loaderAnswered(const RunResult& r) { return ranToEnd(r) && contains(r.output, conv::kLoaderReplied); }
inline bool loaderPresent(const RunResult& r) {
    return loaderAnswered(r) && !contains(r.output, conv::kLoaderNotFound);
}
// The loader took the packet: its reply carried the packet's checksum.
inline bool acknowledged(const RunResult& r) {
    return ranToEnd(r) && contains(r.output, conv::kALineSent) && !contains(r.output, conv::kALineFailed);
}
inline bool statusC4(const RunResult& r) { return ranToEnd(r) && contains(r.output, conv::kStatusLinesHeld); }
inline bool statusD0(const RunResult& r) { return ranToEnd(r) && contains(r.output, conv::kStatusBurned); }
// tavik's words for a converter it did not find (loader or normal mode).
inline bool foundNothing(const RunResult& r) { return ranToEnd(r) && contains(r.output, conv::kNotFoundEnd); }
// The converter left during the run, or was not there for it.
inline bool converterGone(const RunResult& r) { return contains(r.output, conv::kDeviceGone) || foundNothing(r); }

// A whole listing ("ports") that holds the converter in normal mode.
inline bool normalModeListed(const RunResult& r) {
    const auto listed = ranToEnd(r) ? conv::usbport::parseListing(r.output) : std::nullopt;
    return listed && std::any_of(listed->begin(), listed->end(), [](const conv::usbport::PortNode& d) {
               return d.vendorId == conv::kNormalVid && d.productId == conv::kNormalPid;
           });
}

// "by SIGSEGV" or "with exit status 3": how a crashed run ended.
inline std::string crashText(const RunResult& r) { return (r.reason.starts_with("SIG") ? "by " : "with ") + r.reason; }

}  // namespace quill::evidence
