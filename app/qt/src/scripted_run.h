#pragma once
// Runs the window for a demo or a test in place of a person: presses START once the idle screen
// is drawn (ticking the compatibility box first if asked), presses FINISH / EXIT once the end screen
// is drawn, leaves alerts unattended, and saves idle.png, running.png (at the first drawn step and
// again from step 10) and finished.png. Made only when a launch option asks for any of it.
// A saved grab is read back: "SCREENSHOT: PATH" names a sound one, "SCREENSHOT BLANK: PATH ..."
// one that is all one colour (or unreadable), which a demo or a test counts as a failure.
#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtGui/QImage>

#include <optional>

#include "launch_options.h"

namespace quill::qt {

class AppDelegate;

// The one colour every pixel of `image` has, nullopt when there are more (a null image: 0).
std::optional<QRgb> singleColour(const QImage& image);

class ScriptedRun : public QObject {
    Q_OBJECT
public:
    ScriptedRun(AppDelegate& delegate, ScriptedRunOptions options);

private:
    // After each turn of the status refresh.
    void onRefreshed();
    void saveScreenshot(const QString& name);

    AppDelegate& delegate_;
    const ScriptedRunOptions options_;
    bool idleSeen_ = false;
    bool runningShotTaken_ = false;
    bool runningShotAtHalf_ = false;
    bool finishHandled_ = false;
};

}  // namespace quill::qt
