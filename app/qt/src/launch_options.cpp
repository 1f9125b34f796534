#include "launch_options.h"

#include <QtCore/QCommandLineParser>

#include "conv/usbport.h"
#include "conv/version.h"

namespace quill::qt {
namespace {

// Options QApplication takes out of the command line before the window reads it, with and
// without a value; each may be written with one dash or two, and a value also after '='.
const QStringList kToolkitOptionsWithValue{QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
                                           QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
                                           QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
                                           QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
                                           QStringLiteral("display"),         QStringLiteral("geometry"),
                                           QStringLiteral("style"),           QStringLiteral("stylesheet"),
                                           QStringLiteral("title"),           QStringLiteral("name"),
                                           QStringLiteral("qmljsdebugger")};
const QStringList kToolkitFlags{QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
                                QStringLiteral("dograb"), QStringLiteral("sync")};

// "-style=Fusion" -> ("style", "Fusion", true); "--platform" -> ("platform", "", false).
struct Spelled {
    QString name, value;
    bool hasValue = false;
};
std::optional<Spelled> toolkitOption(const QString& argument) {
    if (!argument.startsWith(QLatin1Char('-'))) return std::nullopt;
    QString body = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    Spelled spelled;
    if (const qsizetype equals = body.indexOf(QLatin1Char('=')); equals > 0) {
        spelled.value = body.mid(equals + 1);
        spelled.hasValue = true;
        body.truncate(equals);
    }
    spelled.name = body;
    if (kToolkitOptionsWithValue.contains(body) || (!spelled.hasValue && kToolkitFlags.contains(body))) return spelled;
    return std::nullopt;
}

// The command line without Qt's own options; `platform` gets -platform's value.
QStringList withoutToolkitOptions(const QStringList& arguments, QString* platform = nullptr) {
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const auto option = i > 0 ? toolkitOption(arguments[i]) : std::nullopt;
        if (!option) {
            kept << arguments[i];
            continue;
        }
        QString value = option->value;
        if (!option->hasValue && kToolkitOptionsWithValue.contains(option->name) && i + 1 < arguments.size())
            value = arguments[++i];
        if (platform && option->name == QLatin1String("platform")) *platform = value;
    }
    return kept;
}

}  // namespace

QString platformArgument(const QStringList& arguments) {
    QString platform;
    withoutToolkitOptions(arguments, &platform);
    return platform;
}

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
    if (!parser.parse(withoutToolkitOptions(arguments))) {
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
