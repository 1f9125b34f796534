#include "quill/front_state.h"

namespace quill {

std::string progressPicture(int status) { return std::to_string(status) + ".png"; }

std::string statusInWords(int status) {
    if (status == kStatusIdle) return "Ready";
    if (status == kStatusFailed) return "Failed";
    if (status >= kStatusComplete) return std::string(kCompleteText);
    return std::string(kUpdatingText) + ", " + std::to_string(progressPercent(status).value_or(0)) + " %";
}

std::optional<int> statusShownBy(std::string_view picture) {
    if (picture == kIdlePicture) return kStatusIdle;
    if (picture == kCompletePicture) return kStatusComplete;
    if (picture == kFailedPicture) return kStatusFailed;
    for (int step = 0; step <= kStatusLastProgress; ++step)
        if (picture == progressPicture(step)) return step;
    return std::nullopt;
}

Refresh refreshFor(int status, int lastStatus, bool ckboxTicked) {
    Refresh refresh;
    if (status <= 0) refresh.ckbox1Colour = ckboxTicked ? TextColour::White : TextColour::Gray;
    if (status == lastStatus) return refresh;
    refresh.changed = true;
    if (status == kStatusIdle) {
        refresh.picture = std::string(kIdlePicture);
    } else if (status >= 0 && status <= kStatusLastProgress) {
        refresh.picture = progressPicture(status);
        refresh.labelCen = std::string(kUpdatingText);
    } else if (status >= kStatusComplete) {
        refresh.picture = std::string(kCompletePicture);
        refresh.labelCen = std::string(kCompleteText);
        refresh.labelBot = std::string(kCompleteBottomText);
        refresh.startBtnTitle = std::string(kFinishTitle);
    } else if (status == kStatusFailed) {
        refresh.picture = std::string(kFailedPicture);
        refresh.labelCen = std::string();
        refresh.labelBot = std::string(kFailedBottomText);
        refresh.startBtnTitle = std::string(kExitTitle);
    }
    return refresh;
}

Refresh onTimer1(FrontState& state, bool ckboxTicked) {
    Refresh refresh = refreshFor(state.STATUS_OF_PNG, state.LAST_STATUS_OF_PNG, ckboxTicked);
    if (refresh.changed) {
        state.LAST_STATUS_OF_PNG = state.STATUS_OF_PNG;
        if (state.STATUS_OF_PNG >= 0 && state.STATUS_OF_PNG <= kStatusLastProgress) state.PLAYING_PNG = refresh.picture;
    }
    return refresh;
}

}  // namespace quill
