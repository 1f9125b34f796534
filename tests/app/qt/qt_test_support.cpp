#include "qt_test_support.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtWidgets/QApplication>
#include <gtest/gtest.h>

#include "quill/time_scale.h"

namespace quill::qt::test {
namespace {

QString hexRecord(int address, int type, const QByteArray& data) {
    QByteArray raw;
    raw.append(char(data.size()));
    raw.append(char((address >> 8) & 0xff));
    raw.append(char(address & 0xff));
    raw.append(char(type));
    raw.append(data);
    int sum = 0;
    for (char byte : raw) sum += static_cast<unsigned char>(byte);
    raw.append(char((0x100 - (sum & 0xff)) & 0xff));
    return QLatin1Char(':') + QString::fromLatin1(raw.toHex().toUpper());
}

void writeFile(const QString& path, const QByteArray& content, bool executable = false) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    file.write(content);
    file.close();
    if (executable) file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

}  // namespace

const char* const kHealthyTool = R"SH(case "$1" in
  sa) echo saok ;;
  sb) echo sbok ;;
  qa) echo qaok ;;
  qb) echo qbok ;;
  stb) echo "01 01 02 42 d0 c4 00 00 00 00 stbok" ;;
  sta|sync|runaprom|bb) echo "00 00 00 00 ok" ;;
  *) if [ ${#1} -ge 130 ]; then
       echo "ckSum_r=00 00 00 00 *00 00 00 00 2b 1a 00 00 00 00 00  ...(more readback)"
       echo uaok
     else
       echo ubok
     fi ;;
esac
)SH";

TempBundle::TempBundle(const QString& bundleName) : bundleName_(bundleName) {
    EXPECT_TRUE(root_.isValid());
    QDir().mkpath(resourceDir());
    QDir().mkpath(bundlePath() + QStringLiteral("/Contents/MacOS"));
    const QDir art(QStringLiteral(QM_ART_DIR));
    for (const QString& name : art.entryList({QStringLiteral("*.png"), QStringLiteral("*.bmp")}, QDir::Files))
        QFile::copy(art.filePath(name), resourceDir() + QLatin1Char('/') + name);
}

void TempBundle::writeTool(const std::string& scriptBody) const {
    writeFile(resourceDir() + QStringLiteral("/tavik"), QByteArray("#!/bin/sh\n") + scriptBody.c_str(), true);
}

void TempBundle::writeFirmwareA(int imageBytes) const {
    QStringList lines{hexRecord(0, 4, QByteArray(2, '\0'))};  // the first line is never read
    for (int at = 0; at < imageBytes; at += 16) {
        QByteArray data;
        for (int i = at; i < std::min(at + 16, imageBytes); ++i) data.append(char(i * 7 + 3));
        lines << hexRecord(at, 0, data);
    }
    lines << hexRecord(0, 1, {});
    writeFile(path(QStringLiteral("tmpa.hex")), lines.join(QStringLiteral("\r\n")).toLatin1() + "\r\n");
}

void TempBundle::writeFirmwareB(int count) const {
    QStringList lines;
    for (int line = 0; line < count; ++line) lines << hexRecord(line * 16, 0, QByteArray(16, char(0x40 + line)));
    lines << hexRecord(0, 1, {});
    writeFile(path(QStringLiteral("tmpb.hex")), lines.join(QStringLiteral("\r\n")).toLatin1() + "\r\n");
}

BundleLayout TempBundle::layout() const {
    return locateBundle((bundlePath() + QStringLiteral("/Contents/MacOS/Quillmere")).toStdString());
}

std::unique_ptr<AppDelegate> makeDelegate(const TempBundle& bundle) {
    LaunchOptions options;
    options.autoAlert = true;
    return std::make_unique<AppDelegate>(bundle.layout(), options, timeScaleFromEnvironment().factor);
}

}  // namespace quill::qt::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // The test's environment sets both; these defaults keep a run by hand quick and headless.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty(quill::kTimeScaleEnv)) qputenv(quill::kTimeScaleEnv, "0.1");
    // Update records go to a scratch folder, not to the user's.
    qputenv("XDG_STATE_HOME", QDir::temp().filePath(QStringLiteral("quill-qt-tests-state")).toUtf8());
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
