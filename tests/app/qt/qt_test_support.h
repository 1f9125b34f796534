#pragma once
// A throw-away bundle (pictures, a scripted tavik, firmware beside it) and a window built on it.
#include <QtCore/QDir>
#include <QtCore/QString>
#include <QtCore/QTemporaryDir>

#include <csignal>
#include <memory>
#include <string>

#include "app_delegate.h"

namespace quill::qt::test {

// Answers of a converter that takes everything; final A checksum 0x1a2b.
std::string healthyTool();

class TempBundle {
public:
    explicit TempBundle(const QString& bundleName = QStringLiteral("Quillmere_V123_0x1a2b.app"));

    // Writes Contents/Resources/tavik as a shell script with this body.
    void writeTool(const std::string& scriptBody) const;
    // tmpa.hex or tmpb.hex beside the bundle, holding `imageBytes` bytes in 16-byte records.
    void writeFirmware(const char* name, int imageBytes) const;

    QString path(const QString& relative) const { return root_.filePath(relative); }
    QString bundlePath() const { return path(bundleName_); }
    QString resourceDir() const { return bundlePath() + QStringLiteral("/Contents/Resources"); }
    BundleLayout layout() const;

private:
    QTemporaryDir root_{QDir::tempPath() + QStringLiteral("/quillqt-XXXXXX")};
    QString bundleName_;
};

// A shell script at `path`: "#!/bin/sh" and `body`.
void writeScript(const QString& path, const QByteArray& body, bool executable = true);

// A shell line that writes the script's pid to `shellPath` (a shell word) whole: written aside, then
// renamed, so a run killed while writing it leaves no empty one behind.
QByteArray pidLine(const QByteArray& shellPath);
// The pid in the file at `path` once it appears within 5 s, 0 if it never does.
pid_t waitForPid(const QString& path);
inline bool alive(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

// A window on the bundle with alerts answered automatically and the pauses scaled down.
std::unique_ptr<AppDelegate> makeDelegate(const TempBundle& bundle);

}  // namespace quill::qt::test
