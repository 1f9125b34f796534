#include "launch_options.h"

#include <QtCore/QCommandLineParser>

#include "conv/usbport.h"
#include "conv/version.h"

namespace quill::qt {

std::optional<LaunchOptions> parseLaunchOptions(const QStringList& arguments, QString& error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Firmware updater for the game-controller converter"));
    const QCommandLineOption autoStart(QStringLiteral("auto-start"),
                                       QStringLiteral("Press START once the idle screen is shown."));
    const QCommandLineOption tick(QStringLiteral("tick"),
                                  QStringLiteral("Tick the compatibility update before pressing START."));
    const QCommandLineOption autoFinish(QStringLiteral("auto-finish"),
                                        QStringLiteral("Press FINISH or EXIT once the end screen is shown."));
    const QCommandLineOption autoAlert(QStringLiteral("auto-alert"),
                                       QStringLiteral("Print alerts as \"ALERT: <text>\" instead of waiting."));
    const QCommandLineOption screenshots(QStringLiteral("screenshot-dir"),
                                         QStringLiteral("Save idle, running and finished window grabs."),
                                         QStringLiteral("dir"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Update the converter on this USB port only, such as 1-1.4."),
                                  QStringLiteral("path"));
    parser.addOptions({autoStart, tick, autoFinish, autoAlert, screenshots, port});
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Show the version and exit."));
    parser.addOptions({help, version});
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return std::nullopt;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        LaunchOptions answered;
        answered.answer =
            parser.isSet(help)
                ? QStringLiteral("Usage: Quillmere [options]\n") + parser.helpText().section(QLatin1Char('\n'), 1)
                : QStringLiteral("Quillmere ") + QString::fromUtf8(conv::programVersion()) + QLatin1Char('\n');
        return answered;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument: ") + parser.positionalArguments().first();
        return std::nullopt;
    }
    LaunchOptions options;
    options.script.autoStart = parser.isSet(autoStart);
    options.script.tick = parser.isSet(tick);
    options.script.autoFinish = parser.isSet(autoFinish);
    options.script.autoAlert = parser.isSet(autoAlert) || qEnvironmentVariable(kAutoAlertEnv) == QLatin1String("1");
    options.script.screenshotDir = parser.value(screenshots);
    options.port = parser.value(port).toStdString();
    if (parser.isSet(port) && !conv::usbport::isPortPath(options.port)) {
        error = QStringLiteral("--port needs a USB port path such as 1-1.4, not '") + parser.value(port) +
                QStringLiteral("'");
        return std::nullopt;
    }
    return options;
}

}  // namespace quill::qt
