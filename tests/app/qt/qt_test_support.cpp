#include "qt_test_support.h"

#include <gtest/gtest.h>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QThread>
#include <QtWidgets/QApplication>

#include "conv/packets.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "hex_text.h"
#include "quill/converter_lock.h"
#include "quill/time_scale.h"

namespace quill::qt::test {

std::string healthyTool() {
    using std::string;
    const string listed = conv::usbport::listingLine({"1-1", conv::kNormalVid, conv::kNormalPid, "hidraw0"}) + "\n" +
                          conv::usbport::listingEndLine(1);
    const string status = string(conv::kStatusBurned) + " " + string(conv::kStatusLinesHeld) + " 00 00 00 00 stbok";
    const string loader = string(conv::kLoaderReplied) + "64 (a6 00 00 00 02 00 00 00 00 00 ...";
    const string reply =
        string(conv::kChecksumDump) + "00 00 00 00 *00 00 00 00 2b 1a 00 00 00 00 00  ...(more readback)";
    return "listed='" + listed + "'\nstatus='" + status + "'\nloader='" + loader + "'\nreply='" + reply + "'\n" +
           R"SH(case "$1" in
  ports) printf '%s\n' "$listed" ;;
  sa|sb|qa|qb|bb) echo "$1"ok ;;
  stb) echo "$status" ;;
  sta|sync|runaprom) echo "$loader" ;;
  *) if [ ${#1} -ge 130 ]; then printf '%s\nuaok\n' "$reply"; else echo ubok; fi ;;
esac
)SH";
}

TempBundle::TempBundle(const QString& bundleName) : bundleName_(bundleName) {
    EXPECT_TRUE(root_.isValid());
    QDir().mkpath(resourceDir());
    QDir().mkpath(bundlePath() + QStringLiteral("/Contents/MacOS"));
    const QDir art(QStringLiteral(QM_ART_DIR));
    for (const QString& name : art.entryList({QStringLiteral("*.png"), QStringLiteral("*.bmp")}, QDir::Files))
        QFile::copy(art.filePath(name), resourceDir() + QLatin1Char('/') + name);
}

void writeScript(const QString& path, const QByteArray& body, bool executable) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write("#!/bin/sh\n" + body);
    file.close();
    if (executable) file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

void TempBundle::writeTool(const std::string& scriptBody) const {
    writeScript(resourceDir() + QStringLiteral("/tavik"), QByteArray::fromStdString(scriptBody));
}

void TempBundle::writeFirmware(const char* name, int imageBytes) const {
    QFile file(path(QLatin1String(name)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << name;
    file.write(QByteArray::fromStdString(hextext::file(static_cast<std::size_t>(imageBytes))));
}

QByteArray pidLine(const QByteArray& shellPath) {
    return "echo $$ > " + shellPath + ".tmp && mv " + shellPath + ".tmp " + shellPath + "\n";
}

pid_t waitForPid(const QString& path) {
    QFile file(path);
    for (int i = 0; i < 500 && !file.exists(); ++i) QThread::msleep(10);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}

BundleLayout TempBundle::layout() const {
    return locateBundle((bundlePath() + QStringLiteral("/Contents/MacOS/Quillmere")).toStdString());
}

std::unique_ptr<AppDelegate> makeDelegate(const TempBundle& bundle) {
    auto delegate = std::make_unique<AppDelegate>(bundle.layout(), std::string(), timeScaleFromEnvironment().factor);
    delegate->leaveAlertsUnattended();
    return delegate;
}

}  // namespace quill::qt::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The test's environment sets both; these defaults keep a run by hand quick and headless.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty(quill::kTimeScaleEnv)) qputenv(quill::kTimeScaleEnv, "0.1");
    // Update records go to a scratch folder, not to the user's.
    qputenv("XDG_STATE_HOME", QDir::temp().filePath(QStringLiteral("quill-qt-tests-state")).toUtf8());
    // Converter locks too, one folder per test process: tests run side by side, all unpinned.
    const QTemporaryDir locks(QDir::temp().filePath(QStringLiteral("quill-qt-locks-XXXXXX")));
    qputenv(quill::kLockDirEnv, locks.path().toUtf8());
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
