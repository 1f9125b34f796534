#include "quill/update_progress.h"

#include <algorithm>
#include <cmath>

namespace quill {

using Seconds = std::chrono::duration<double>;

UpdateProgress::UpdateProgress(bool bcode, double pauseFactor, Time start)
    : bcode_(bcode), pauseFactor_(std::max(0.0, pauseFactor)), start_(start), phaseStart_(start) {}

void UpdateProgress::firmware(std::size_t aPackets, std::size_t bLines) {
    aPackets_ = aPackets;
    bLines_ = bLines;
}

bool UpdateProgress::planned(std::size_t phase) const {
    return bcode_ || (kPlan[phase].name != kPhaseBTransfer && kPlan[phase].name != kPhaseBurn);
}

std::size_t UpdateProgress::units(std::size_t phase) const {
    return kPlan[phase].name == kPhaseATransfer ? aPackets_ : kPlan[phase].name == kPhaseBTransfer ? bLines_ : 0;
}

Seconds UpdateProgress::pace() const { return pace_.value_or(Seconds(kAssumedRun)); }

Seconds UpdateProgress::estimate(std::size_t phase) const {
    return Seconds(kPlan[phase].pauses) * pauseFactor_ + pace() * static_cast<double>(kPlan[phase].runs + units(phase));
}

void UpdateProgress::phase(std::string_view name, Time now) {
    const auto known = std::find_if(kPlan.begin(), kPlan.end(), [&](const Plan& p) { return p.name == name; });
    if (known == kPlan.end()) return;
    phase_ = static_cast<std::size_t>(known - kPlan.begin());
    phaseStart_ = now;
    sent_ = 0;
    paceFrom_.reset();
}

void UpdateProgress::transferred(std::size_t sent, Time now) {
    if (!phase_ || units(*phase_) == 0 || sent <= sent_) return;
    sent_ = sent;
    // Measured from the first unit seen sent: the pause before the transfer is no part of its pace.
    if (!paceFrom_) {
        paceFrom_.emplace(now, sent);
    } else if (now > paceFrom_->first) {
        pace_ = Seconds(now - paceFrom_->first) / static_cast<double>(sent - paceFrom_->second);
    }
}

ProgressEstimate UpdateProgress::at(Time now) {
    Seconds left(0);
    std::size_t next = 0;
    if (phase_) {
        const Seconds inPhase = now - phaseStart_;
        const std::size_t all = units(*phase_);
        if (all > 0 && sent_ > 0) {
            left += pace() * static_cast<double>(all - std::min(sent_, all));
        } else {
            left += std::max(Seconds(0), estimate(*phase_) - inPhase);
        }
        next = *phase_ + 1;
    }
    for (std::size_t p = next; p < kPlan.size(); ++p)
        if (planned(p)) left += estimate(p);
    const Seconds spent = now - start_;
    const double whole = (spent + left).count();
    const int percent = whole > 0 ? static_cast<int>(100 * spent.count() / whole) : 0;
    percent_ = std::clamp(percent, percent_, 99);
    std::optional<std::chrono::seconds> shown;
    if (aPackets_ > 0) shown = std::chrono::seconds(static_cast<long long>(std::ceil(left.count())));
    return {percent_, shown, phase_ ? std::string(kPlan[*phase_].name) : std::string()};
}

}  // namespace quill
