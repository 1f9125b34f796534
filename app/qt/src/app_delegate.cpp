#include "app_delegate.h"

#include <QtGui/QAccessible>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>

#include <cstdio>
#include <optional>

#include "device_holder.h"
#include "end_signals.h"
#include "main_window.h"
#include "picture_view.h"
#include "process_runner.h"
#include "quill/time_scale.h"
#include "title_button.h"
#include "update_folder.h"

namespace quill::qt {
namespace {

const QColor kWhite(255, 255, 255);
const QColor kGray(85, 85, 85);
const QColor kHeading(180, 220, 255);
const QColor kVersion(75, 170, 243);

QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// Colours a control's title only: the text of a label button, the label of the check box.
void colourTitle(QWidget* control, const QColor& colour) {
    if (auto* button = dynamic_cast<TitleButton*>(control)) {
        button->setTitleColour(colour);
        return;
    }
    // The analyser takes a failed cast as a possibly null control; every caller passes a widget.
    QPalette palette = control->palette();  // NOLINT(clang-analyzer-core.CallAndMessage)
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    control->setPalette(palette);
}

bool isUserInput(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        default:
            return false;
    }
}

}  // namespace

AppDelegate::AppDelegate(const BundleLayout& layout, const std::string& port, double timeScale)
    : layout_(layout),
      runner_(std::make_unique<ProcessToolRunner>(fromUtf8(layout.resourceDir) + QStringLiteral("/tavik"))),
      holder_(*runner_, fromUtf8(layout.resourceDir),
              [this](const std::string& port) {
                  if (record_) record_->pinned(port);
              }),
      window_(std::make_unique<MainWindow>(fromUtf8(layout.resourceDir))) {
    const TimeScale pauses = pauseScaleFromEnvironment();
    // Qualified: during construction only this class's own log() can run.
    if (pauses.complaint) AppDelegate::log(*pauses.complaint);
    core_ = std::make_unique<FrontCore>(Ports{*runner_, *this, *this, *this, *this, lock_},
                                        CoreConfig{layout.firmwareDir, timeScale, pauses.factor, port});

    // First stage: title and the repeating refresh; its first tick comes once start-up has
    // returned to the event loop.
    window_->setWindowTitle(QStringLiteral("Quillmere"));
    timer_.setInterval(200);
    connect(&timer_, &QTimer::timeout, this, &AppDelegate::onTimer1);
    timer_.start();

    // Second stage: styles on the titles the window was built with, then the bundle's name.
    setColor1();
    setColor2();
    setButtonWhite(window_->labelCen);
    setButtonWhite(window_->labelBot);
    setButtonGray(window_->ckbox1);
    setButtonWhite(window_->startBtn);
    connect(window_->startBtn, &QPushButton::clicked, this, &AppDelegate::onClick1);
    connect(window_->menu1, &QComboBox::activated, this, &AppDelegate::onChangeMenu1);

    version_ = core_->readBundlePath(layout.bundlePath);
    window_->labelVer->setTitle(fromUtf8(version_));
    setColor2();

    connect(&EndSignals::instance(), &EndSignals::arrived, this, &AppDelegate::onEndSignal);

    window_->mayClose = [this] { return !core_->isRunning(); };
    window_->closeRefused = [this] { showNotice(fromUtf8(kCloseRefusedText)); };
    qApp->installEventFilter(this);
}

AppDelegate::~AppDelegate() {
    qApp->removeEventFilter(this);
    timer_.stop();
}

void AppDelegate::onTimer1() {
    applyRefresh(core_->onTimer1(window_->ckbox1->isChecked()));
    showOutcome();
    emit refreshed();
}

void AppDelegate::applyRefresh(const Refresh& refresh) {
    if (refresh.ckbox1Colour) {
        if (*refresh.ckbox1Colour == TextColour::White)
            setButtonWhite(window_->ckbox1);
        else
            setButtonGray(window_->ckbox1);
    }
    if (!refresh.changed) return;
    if (refresh.picture) showStatusPicture(fromUtf8(*refresh.picture));
    if (refresh.labelCen) window_->labelCen->setTitle(fromUtf8(*refresh.labelCen));
    if (refresh.labelBot) window_->labelBot->setTitle(fromUtf8(*refresh.labelBot));
    if (refresh.startBtnTitle) {
        window_->startBtn->setTitle(fromUtf8(*refresh.startBtnTitle));
        setButtonWhite(window_->startBtn);
    }
    setButtonWhite(window_->labelBot);
    setButtonWhite(window_->labelCen);
    reportScreen();
}

// The status picture, and for screen readers the same step in words and as a percentage: both
// are read from the picture's name, so what is spoken is what is drawn.
void AppDelegate::showStatusPicture(const QString& name) {
    PictureView* view = window_->imgORBEN;
    const auto percentOf = [](const QString& picture) {
        const std::optional<int> status = statusShownBy(picture.toStdString());
        return status ? progressPercent(*status) : std::nullopt;
    };
    const std::optional<int> before = percentOf(view->pictureName());
    view->setPicture(name, window_->picture(name));
    const std::optional<int> status = statusShownBy(name.toStdString());
    view->setAccessibleDescription(status ? fromUtf8(statusInWords(*status)) : QString());
    if (const std::optional<int> percent = percentOf(name); percent && percent != before) {
        QAccessibleValueChangeEvent event(view, *percent);
        QAccessible::updateAccessibility(&event);
    }
}

// Once an action has ended on the Complete or Failed screen: the cause below the failure text,
// and the outcome with its cause for screen readers, on the status region and on FINISH / EXIT,
// which takes the focus.
void AppDelegate::showOutcome() {
    const int shown = core_->state().LAST_STATUS_OF_PNG;
    const bool failed = shown == kStatusFailed;
    if (core_->isRunning() || (!failed && shown < kStatusComplete)) return;
    const QString line = failed ? fromUtf8(causeLine(core_->cause())) : QString();
    QString outcome = fromUtf8(statusInWords(shown)) + QStringLiteral(". ") +
                      fromUtf8(failed ? kFailedBottomText : kCompleteBottomText);
    if (!line.isEmpty()) outcome += QLatin1Char(' ') + line;
    if (outcome == outcome_) return;
    outcome_ = outcome;
    if (!line.isEmpty()) {
        window_->labelCause->setText(line);
        window_->labelCause->setAccessibleName(line);
        colourTitle(window_->labelCause, kWhite);
        window_->labelCause->show();
        printLine(QStringLiteral("CAUSE: ") + line);
    }
    window_->imgORBEN->setAccessibleDescription(outcome);
    window_->startBtn->setAccessibleDescription(outcome);
    if (!window_->startBtn->isHidden()) window_->startBtn->setFocus();  // FINISH / EXIT is one Space or Enter away
}

void AppDelegate::onClick1() {
    // The converter is held open for the length of an update, not for FINISH / EXIT: the
    // holder starts when the update has pinned its converter's port.
    if (!core_->isRunning() && core_->state().STATUS_OF_PNG == kStatusIdle) {
        const std::string action = compatibilityTicked() ? "START (box ticked)" : "START";
        holder_.during([&] { recorded(action, [this] { core_->onClick1(); }); });
    } else {
        core_->onClick1();
    }
    reportScreen();
}

void AppDelegate::onChangeMenu1(int index) {
    const std::string title = window_->menu1->itemText(index).toStdString();
    if (core_->isRunning()) {
        core_->onChangeMenu1(title);
        return;
    }
    holder_.during([&] { recorded("menu: " + title, [&] { core_->onChangeMenu1(title); }); });
}

void AppDelegate::recorded(const std::string& action, const std::function<void()>& run) {
    record_ = std::make_unique<UpdateFolder>(layout_, UpdateFolder::Action::of(action, version_, *core_), *runner_);
    const auto alertsBefore = messagesShown_.size();
    run();
    const auto outcome = core_->lastOutcome();
    record_->finish(std::string(outcomeName(outcome)), core_->cause(), messagesShown_.mid(alertsBefore));
    record_.reset();
    // Told to end during the action: quit once the caller has let go of the converter.
    if (const int signal = EndSignals::received(); signal != 0) emit terminateRequested(128 + signal);
}

void AppDelegate::onEndSignal(int signal) {
    // A running action ends through its next tool run (recorded() quits then); an open alert
    // would hold it up.
    if (alertBox_) alertBox_->reject();
    if (!core_->isRunning()) emit terminateRequested(128 + signal);
}

void AppDelegate::setButtonWhite(QWidget* control) { colourTitle(control, kWhite); }
void AppDelegate::setButtonGray(QWidget* control) { colourTitle(control, kGray); }
void AppDelegate::setColor1() { colourTitle(window_->labelTop, kHeading); }
void AppDelegate::setColor2() { colourTitle(window_->labelVer, kVersion); }

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    // While an action runs nothing else in the window acts: its input is dropped, not queued.
    // Alert boxes are windows of their own and still take input.
    if (core_->isRunning() && isUserInput(event->type())) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && widget->window() == window_.get()) return true;
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::alertA(const std::string& text) {
    const QString message = fromUtf8(text);
    messagesShown_ << message;
    printLine(QStringLiteral("ALERT: ") + message);
    // Unattended or told to end: nobody is waiting to read it.
    if (alertsUnattended_ || EndSignals::received() != 0) return;
    const auto box = std::make_unique<QMessageBox>(window_.get());
    box->setWindowTitle(QStringLiteral("Quillmere"));
    box->setText(message);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    alertBox_ = box.get();  // a signal closes it (onEndSignal)
    box->exec();
}

// A message that does not stop anything (the close refusal).
void AppDelegate::showNotice(const QString& text) {
    messagesShown_ << text;
    printLine(QStringLiteral("NOTICE: ") + text);
    if (alertsUnattended_) return;
    if (notice_) {
        notice_->raise();
        return;
    }
    notice_ =
        new QMessageBox(QMessageBox::Information, QStringLiteral("Quillmere"), text, QMessageBox::Ok, window_.get());
    notice_->setAttribute(Qt::WA_DeleteOnClose);
    notice_->setWindowModality(Qt::NonModal);
    notice_->show();
}

void AppDelegate::pause(std::chrono::microseconds duration) { pauseKeepingEventsAlive(duration); }

void AppDelegate::log(const std::string& line) {
    std::fprintf(stderr, "Quillmere: %s\n", line.c_str());
    if (record_) record_->output("Quillmere: " + line + "\n");
}

void AppDelegate::trace(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (record_) record_->output(text);
}

void AppDelegate::phase(const std::string& name) {
    if (record_) record_->phase(name);
}

void AppDelegate::firmwareRead(const std::string& name, const std::optional<std::string>& bytes,
                               const std::string& why) {
    if (record_) record_->firmwareRead(name, bytes, why);
}

void AppDelegate::printLine(const QString& line) {
    const QByteArray text = line.toUtf8() + '\n';
    std::fputs(text.constData(), stdout);
    std::fflush(stdout);
    if (record_) record_->output(text.toStdString());
}

void AppDelegate::showRunningScreen() {
    window_->imgORBEN->hide();
    showStatusPicture(fromUtf8(kRunningPicture));
    window_->imgORBEN->show();
    window_->imgORBEN->setFocus();  // a screen reader follows the update there
    window_->labelBot->setTitle(fromUtf8(kRunningBottomText));
    const Frame frame = kRunningBottomFrame;
    window_->labelBot->setGeometry(fromBottomLeft(frame.x, frame.y, frame.width, frame.height));
    setButtonWhite(window_->labelBot);
    window_->ckbox1->hide();
    window_->startBtn->hide();
    reportScreen();
}

void AppDelegate::showStartButton() {
    window_->startBtn->show();  // it takes the focus once its end screen is drawn (showOutcome)
    reportScreen();
}

void AppDelegate::terminateApp() {
    std::fflush(stdout);
    // Once told to end, every way out says so.
    if (const int signal = EndSignals::received(); signal != 0)
        emit terminateRequested(128 + signal);
    else
        emit terminateRequested(core_->state().STATUS_OF_PNG == kStatusFailed ? 1 : 0);
}

bool AppDelegate::compatibilityTicked() const { return window_->ckbox1->isChecked(); }

// One line per change of what the user reads: centre word, bottom line, button.
void AppDelegate::reportScreen() {
    const QString button = !window_->startBtn->isHidden() ? window_->startBtn->title() : QStringLiteral("(hidden)");
    const QString screen =
        QStringLiteral("SCREEN: %1 | %2 | %3").arg(window_->labelCen->title(), window_->labelBot->title(), button);
    if (screen == lastScreen_) return;
    lastScreen_ = screen;
    printLine(screen);
}

}  // namespace quill::qt
