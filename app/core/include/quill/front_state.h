#pragma once
// The front end's shared state and the status refresh that turns it into pictures and texts.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quill {

// Display states carried by STATUS_OF_PNG.
inline constexpr int kStatusIdle = -2;
inline constexpr int kStatusFailed = -1;
inline constexpr int kStatusLastProgress = 19;
inline constexpr int kStatusComplete = 20;

inline constexpr std::string_view kNoChecksum = "LB HB";  // LOCAL_CKSUM before a name supplies one

struct FrontState {
    int STATUS_OF_PNG = kStatusIdle;
    int LAST_STATUS_OF_PNG = 0;  // not -2, so the first tick draws the idle picture
    std::optional<std::string> PLAYING_PNG;
    std::string LOCAL_CKSUM{kNoChecksum};  // "ll hh", lower-case, low byte first
    std::string cmdRet;                    // all the last tool run printed
    // For the whole update's progress (quill/update_progress.h): the firmware's size, known once
    // START has read it, and the packets or lines the transfer under way has sent.
    std::size_t aPackets = 0;
    std::size_t bLines = 0;
    std::size_t transferSent = 0;
};

// Picture and texts of the refresh.
inline constexpr std::string_view kIdlePicture = "TP1_2.png";
inline constexpr std::string_view kCompletePicture = "complete.png";
inline constexpr std::string_view kFailedPicture = "failed.png";
inline constexpr std::string_view kUpdatingText = "Updating";
inline constexpr std::string_view kCompleteText = "Complete";
inline constexpr std::string_view kCompleteBottomText = "Firmware successfully updated.";
inline constexpr std::string_view kFailedBottomText = "The Setup didn't finish and will restart.";
inline constexpr std::string_view kFinishTitle = "FINISH";
inline constexpr std::string_view kExitTitle = "EXIT";

// "%d.png" of a progress value.
std::string progressPicture(int status);
// How far the current transfer has come, in percent: 0 to 95 in steps of 5 while it runs (one
// per progress picture), 100 once complete; nullopt when idle or failed. The figure each progress
// picture draws (artgen) and the one screen readers are given.
constexpr std::optional<int> progressPercent(int status) {
    if (status >= kStatusComplete) return 100;
    if (status < 0) return std::nullopt;
    return status * 100 / kStatusComplete;
}
// What the status picture shows, in words for screen readers: "Ready", "Updating, 55 %",
// "Complete" or "Failed".
std::string statusInWords(int status);
// The status value whose picture is `picture` (the refresh's choice turned round: "7.png" is 7,
// "complete.png" kStatusComplete); nullopt for a name the refresh never shows.
std::optional<int> statusShownBy(std::string_view picture);

enum class TextColour { White, Gray };

// What one tick of the 0.2 s timer does to the window. The window layer applies, in order:
//  1. ckbox1Colour, when set (setButtonWhite: / setButtonGray: on ckbox1);
//  2. when `changed`: picture into imgORBEN, labelCen / labelBot titles, startBtn title (then
//     made white) for each field that is set; then labelBot and labelCen made white.
struct Refresh {
    std::optional<TextColour> ckbox1Colour;
    bool changed = false;
    std::optional<std::string> picture;
    std::optional<std::string> labelCen;
    std::optional<std::string> labelBot;
    std::optional<std::string> startBtnTitle;
};

// The refresh decision for a status value, the value last rendered and the check box state.
Refresh refreshFor(int status, int lastStatus, bool ckboxTicked);

// One tick: decides, then records the rendered value (LAST_STATUS_OF_PNG, PLAYING_PNG).
Refresh onTimer1(FrontState& state, bool ckboxTicked);

}  // namespace quill
