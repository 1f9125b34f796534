#pragma once
// Settings for demos and tests that drive the window without a person in front of it.
//   --auto-start           press START once the idle screen has been drawn
//   --tick                 tick "Controller Compatibility Update" before that press
//   --auto-finish          press FINISH / EXIT once the end screen has been drawn
//   --auto-alert           (or QUILLMERE_AUTO_ALERT=1) alerts print "ALERT: <text>" and
//                          go away by themselves instead of waiting for a click
//   --screenshot-dir DIR   save idle.png, running.png and finished.png window grabs in DIR
//   --port PATH            update the converter on that USB port only ("1-1.4"); without it,
//                          an update goes on only when at most one converter is plugged in
// and for people: -h/--help and --version, which print their answer and start nothing.
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <optional>
#include <string>

namespace quill::qt {

inline constexpr const char* kAutoAlertEnv = "QUILLMERE_AUTO_ALERT";

// What a demo or a test asks the window to do in place of a person (ScriptedRun does it).
struct ScriptedRunOptions {
    bool autoStart = false;
    bool tick = false;
    bool autoFinish = false;
    bool autoAlert = false;
    QString screenshotDir;

    bool any() const { return autoStart || tick || autoFinish || autoAlert || !screenshotDir.isEmpty(); }
};

struct LaunchOptions {
    ScriptedRunOptions script;
    std::string port;  // a checked USB port path, or empty
    QString answer;    // set by --help or --version: print it and exit
};

// Reads the command line (program name first) and the environment; nullopt with `error` set
// when the command line is not understood. Qt's own options (-platform xcb, -style=Fusion, ...)
// are left to QApplication.
std::optional<LaunchOptions> parseLaunchOptions(const QStringList& arguments, QString& error);

// The value of Qt's -platform option on the command line, or empty.
QString platformArgument(const QStringList& arguments);

}  // namespace quill::qt
