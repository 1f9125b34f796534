// The built window (frames, texts, fonts, colours, the first tick, resize and zoom), and pressing
// START against a scripted tool: what the window refuses while the update runs, the Complete
// screen and the button that follows, by mouse and from the keyboard with a screen reader's view
// of the window, and a failure's cause. The Failed screens are followed in tests/e2e.
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#include <gtest/gtest.h>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTimer>
#include <QtGui/QAccessible>
#include <QtGui/QFontInfo>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>

#include "main_window.h"
#include "picture_view.h"
#include "qt_test_support.h"
#include "scripted_run.h"
#include "title_button.h"

namespace quill::qt::test {
namespace {

const QColor kWhite(255, 255, 255);
const QColor kGray(85, 85, 85);

QColor checkBoxTitleColour(const QCheckBox* box) { return box->palette().color(QPalette::WindowText); }

class WindowTest : public ::testing::Test {
protected:
    TempBundle bundle;
    std::unique_ptr<AppDelegate> delegate = makeDelegate(bundle);
    MainWindow& w = delegate->window();
};

TEST_F(WindowTest, WidgetsSitAtTheirFramesMeasuredFromTheBottomLeft) {
    EXPECT_EQ(w.size(), QSize(640, 480));
    EXPECT_EQ(w.bar->geometry(), QRect(0, 330, 640, 220));  // only its upper 150 px show
    EXPECT_EQ(w.imgORBEN->geometry(), QRect(0, -10, 640, 480));
    EXPECT_EQ(w.labelTop->geometry(), QRect(10, 20, 200, 150));
    EXPECT_EQ(w.labelVer->geometry(), QRect(10, 90, 200, 100));
    EXPECT_EQ(w.labelCen->geometry(), QRect(245, 350, 150, 40));
    EXPECT_EQ(w.labelBot->geometry(), QRect(10, 414, 450, 20));
    EXPECT_EQ(w.ckbox1->geometry(), QRect(10, 441, 500, 20));
    EXPECT_EQ(w.startBtn->geometry(), QRect(510, 412, 119, 53));
    // Stacking: later widgets lie on top of earlier ones.
    const QObjectList order = w.children();
    EXPECT_LT(order.indexOf(w.bar), order.indexOf(w.imgORBEN));
    EXPECT_LT(order.indexOf(w.imgORBEN), order.indexOf(w.labelTop));
    EXPECT_LT(order.indexOf(w.ckbox1), order.indexOf(w.startBtn));
    // The pop-up and the progress bar exist but are never part of the window.
    EXPECT_EQ(w.menu1->parent(), nullptr);
    EXPECT_EQ(w.pbar->parent(), nullptr);
    EXPECT_EQ(w.menu1->count(), 9);
    EXPECT_EQ(w.menu1->currentText(), QStringLiteral("Status B"));
}

TEST_F(WindowTest, TextsFontsAndColoursOfEachLabel) {
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Quillmere"));
    EXPECT_EQ(w.windowIcon().pixmap(48).toImage().pixelColor(24, 24).alpha(), 255);  // the drawn icon
    struct Expected {
        TitleButton* label;
        QString text;
        int pixels;
        Qt::Alignment alignment;
        QColor colour;
    };
    const Expected expected[] = {
        {w.labelTop, QStringLiteral("Firmware\nUpdate\n"), 36, Qt::AlignLeft, QColor(180, 220, 255)},
        {w.labelVer, QStringLiteral("V 1.2.3"), 20, Qt::AlignLeft, QColor(75, 170, 243)},
        {w.labelCen, QString(), 28, Qt::AlignHCenter, kWhite},
        {w.labelBot, QStringLiteral("Plug converter into PC, then click START"), 18, Qt::AlignLeft, kWhite},
        {w.startBtn, QStringLiteral("START"), 18, Qt::AlignHCenter, kWhite},
    };
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.label->objectName().toStdString());
        EXPECT_EQ(e.label->title(), e.text);
        EXPECT_EQ(e.label->font().pixelSize(), e.pixels);
        EXPECT_EQ(e.label->titleAlignment(), e.alignment);
        EXPECT_EQ(e.label->titleColour(), e.colour);
        EXPECT_FALSE(e.label->isHidden());
        // "arial" resolves through fontconfig to Arial or its metric twin.
        const QString family = QFontInfo(e.label->font()).family();
        EXPECT_TRUE(family == QLatin1String("Liberation Sans") || family == QLatin1String("Arial"))
            << family.toStdString();
    }
    EXPECT_TRUE(w.startBtn->hasFace());
    EXPECT_EQ(w.ckbox1->text(), QStringLiteral("Controller Compatibility Update"));
    EXPECT_EQ(w.ckbox1->font().pixelSize(), 18);
    EXPECT_FALSE(w.ckbox1->isChecked());
    EXPECT_EQ(checkBoxTitleColour(w.ckbox1), kGray);
    EXPECT_EQ(w.palette().brush(QPalette::Window).style(), Qt::TexturePattern);  // tiled bkg.bmp
    EXPECT_FALSE(w.bar->picture().isNull());
}

TEST_F(WindowTest, FirstTickShowsTheStartPictureAndTheBoxFollowsItsTick) {
    EXPECT_TRUE(w.imgORBEN->pictureName().isEmpty());
    delegate->onTimer1();
    EXPECT_EQ(w.imgORBEN->pictureName(), QStringLiteral("TP1_2.png"));
    EXPECT_FALSE(w.imgORBEN->picture().isNull());
    EXPECT_TRUE(w.labelCen->title().isEmpty());

    w.ckbox1->setChecked(true);
    delegate->onTimer1();
    EXPECT_EQ(checkBoxTitleColour(w.ckbox1), kWhite);
    w.ckbox1->setChecked(false);
    delegate->onTimer1();
    EXPECT_EQ(checkBoxTitleColour(w.ckbox1), kGray);
}

TEST_F(WindowTest, ResizeAndZoomAreRefused) {
    w.show();
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    w.resize(800, 600);
    QApplication::processEvents();
    EXPECT_EQ(w.size(), QSize(640, 480));
    w.showMaximized();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    EXPECT_FALSE(w.windowState() & Qt::WindowMaximized);
    EXPECT_EQ(w.size(), QSize(640, 480));
}

struct EndScreen {
    QString picture, centre, bottom, button;
    bool operator==(const EndScreen&) const = default;
};
void PrintTo(const EndScreen& e, std::ostream* os) {
    *os << (QStringList{e.picture, e.centre, e.bottom, e.button}.join(QStringLiteral(" | "))).toStdString();
}

// What a screen reader is told, gathered by an update handler in place of the platform's: each
// event with what the status region said and drew at that moment.
struct Told {
    QAccessible::Event type;
    QObject* object;
    QString description;
    QVariant value;
    QString picture;
};
class Listening {
public:
    explicit Listening(MainWindow& w) {
        region_ = w.imgORBEN, sink_ = &heard;
        QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
            QAccessibleInterface* status = QAccessible::queryAccessibleInterface(region_);
            sink_->push_back({event->type(), event->object(), status->text(QAccessible::Description),
                              status->valueInterface()->currentValue(), region_->pictureName()});
        });
        // As when a screen reader is running: without it Qt sends no event at all.
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
    }
    ~Listening() {
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(false);
        QAccessible::installUpdateHandler(nullptr);
    }
    // The events of `type` about `object`.
    std::vector<Told> of(QAccessible::Event type, const QObject* object) const {
        std::vector<Told> found;
        for (const Told& t : heard)
            if (t.type == type && t.object == object) found.push_back(t);
        return found;
    }
    std::vector<Told> heard;

private:
    static inline PictureView* region_ = nullptr;
    static inline std::vector<Told>* sink_ = nullptr;
};

class StartButtonTest : public ::testing::Test {
protected:
    TempBundle bundle;
    std::unique_ptr<AppDelegate> delegate;
    int exitCode = -100;

    void open() {
        delegate = makeDelegate(bundle);
        QObject::connect(delegate.get(), &AppDelegate::terminateRequested, [this](int code) { exitCode = code; });
        delegate->onTimer1();  // idle screen
    }

    // The window of a bundle whose tool answers every word and whose tmpa.hex is sound, shown.
    MainWindow& showWithHealthyTool() {
        bundle.writeTool(healthyTool());
        bundle.writeFirmware("tmpa.hex", 48 + 56);
        open();
        delegate->window().show();
        return delegate->window();
    }

    // Presses START; returns once the update has ended and the next tick has drawn its screen.
    EndScreen pressStart() {
        MainWindow& w = delegate->window();
        w.startBtn->click();
        EXPECT_FALSE(delegate->core().isRunning());
        EXPECT_FALSE(w.startBtn->isHidden());
        delegate->onTimer1();
        EXPECT_EQ(w.startBtn->titleColour(), QColor(Qt::white));
        return {w.imgORBEN->pictureName(), w.labelCen->title(), w.labelBot->title(), w.startBtn->title()};
    }
};

// The controls are reached with Tab and work with Space and Enter; a screen reader finds every
// widget named, the buttons by their titles and the status picture described in words. While the
// update runs the window refuses to close and takes no input; once it has ended Complete the window
// closes, and FINISH ends the application.
TEST_F(StartButtonTest, KeyboardAndScreenReaderRunAnUpdateThatRefusesCloseAndInputThenEndsComplete) {
    MainWindow& w = showWithHealthyTool();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    const auto key = [](Qt::Key k) { QTest::keyClick(QApplication::focusWidget(), k); };

    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
    ASSERT_NE(window, nullptr);
    QAccessibleInterface* start = nullptr;
    QAccessibleInterface* status = nullptr;
    for (int i = 0; i < window->childCount(); ++i) {
        QAccessibleInterface* child = window->child(i);
        const QString name = child->text(QAccessible::Name);
        EXPECT_FALSE(name.isEmpty()) << "child " << i << " role " << child->role();
        if (child->role() == QAccessible::Button) start = child;
        if (child->role() == QAccessible::ProgressBar && name == QStringLiteral("Update status")) status = child;
    }
    ASSERT_NE(start, nullptr);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(start->text(QAccessible::Name), QStringLiteral("START"));
    EXPECT_EQ(status->text(QAccessible::Description), QStringLiteral("Ready"));
    EXPECT_EQ(status->valueInterface()->currentValue(), 0);
    Listening reader(w);

    w.ckbox1->setFocus(Qt::TabFocusReason);
    key(Qt::Key_Space);
    EXPECT_TRUE(w.ckbox1->isChecked());
    key(Qt::Key_Enter);
    EXPECT_FALSE(w.ckbox1->isChecked());
    key(Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), w.startBtn);
    EXPECT_TRUE(start->state().focused);
    // Runs inside the first tool run's wait, in the middle of the update.
    bool ranDuringUpdate = false, visibleAfterClose = false, tickedByClick = false;
    QTimer::singleShot(0, [&] {
        ranDuringUpdate = delegate->core().isRunning();
        w.close();
        visibleAfterClose = w.isVisible();
        QTest::mouseClick(w.ckbox1, Qt::LeftButton, {}, QPoint(5, 10));
        tickedByClick = w.ckbox1->isChecked();
    });
    key(Qt::Key_Return);  // the whole update runs inside this key press
    ASSERT_TRUE(ranDuringUpdate);
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_FALSE(tickedByClick);
    EXPECT_TRUE(delegate->messagesShown().contains(QString::fromUtf8(kCloseRefusedText.data())));

    EXPECT_EQ(delegate->core().state().STATUS_OF_PNG, kStatusComplete);
    EXPECT_FALSE(reader.of(QAccessible::Focus, w.imgORBEN).empty());  // followed from START on
    delegate->onTimer1();
    EXPECT_EQ((EndScreen{w.imgORBEN->pictureName(), w.labelCen->title(), w.labelBot->title(), w.startBtn->title()}),
              (EndScreen{"complete.png", "Complete", "Firmware successfully updated.", "FINISH"}));
    EXPECT_EQ(w.startBtn->titleColour(), QColor(Qt::white));
    EXPECT_EQ(w.labelBot->geometry(), QRect(10, 430, 450, 20));  // moved when running
    EXPECT_TRUE(w.ckbox1->isHidden());
    const QString outcome = QStringLiteral("Complete. Firmware successfully updated.");
    EXPECT_EQ(status->text(QAccessible::Description), outcome);
    EXPECT_EQ(status->valueInterface()->currentValue(), 100);
    QAccessibleInterface* finish = QAccessible::queryAccessibleInterface(w.startBtn);
    EXPECT_EQ(finish->text(QAccessible::Name), QStringLiteral("FINISH"));
    EXPECT_EQ(finish->text(QAccessible::Description), outcome);
    EXPECT_FALSE(reader.of(QAccessible::Focus, w.startBtn).empty());
    ASSERT_EQ(QApplication::focusWidget(), w.startBtn);
    // Whatever was told while a progress picture showed gave that picture's own figure.
    int progressTold = 0;
    for (const Told& t : reader.heard) {
        const std::optional<int> shown = statusShownBy(t.picture.toStdString());
        if (!shown || *shown < 0 || *shown > kStatusLastProgress) continue;
        ++progressTold;
        const int percent = *shown * 5;
        EXPECT_EQ(t.description.toStdString(), "Updating, " + std::to_string(percent) + " %")
            << t.picture.toStdString();
        EXPECT_EQ(t.value, percent) << t.picture.toStdString();
    }
    EXPECT_GT(progressTold, 0);
    const auto values = reader.of(QAccessible::ValueChanged, w.imgORBEN);
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back().value, 100);
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(exitCode, -100);
    QTest::keyClick(w.startBtn, Qt::Key_Space);
    EXPECT_EQ(exitCode, 0);
}

// A failed update ends with its cause below the failure text, and a screen reader is told the
// outcome and the cause on EXIT, which has the focus.
TEST_F(StartButtonTest, AFailureShowsItsCauseAndTellsItToScreenReaders) {
    bundle.writeTool(healthyTool());  // no tmpa.hex: the update fails at its file check
    open();
    MainWindow& w = delegate->window();
    w.show();
    Listening reader(w);
    const EndScreen end = pressStart();
    EXPECT_EQ(end, (EndScreen{"failed.png", "", "The Setup didn't finish and will restart.", "EXIT"}));
    const QString cause =
        QStringLiteral("tmpa.hex cannot be opened (%1).").arg(bundle.path(QStringLiteral("tmpa.hex")));
    EXPECT_TRUE(w.labelCause->isVisible());
    EXPECT_EQ(w.labelCause->text(), cause);
    const QString outcome = QStringLiteral("Failed. The Setup didn't finish and will restart. ") + cause;
    EXPECT_EQ(QAccessible::queryAccessibleInterface(w.startBtn)->text(QAccessible::Description), outcome);
    EXPECT_EQ(QApplication::focusWidget(), w.startBtn);
    const auto described = reader.of(QAccessible::DescriptionChanged, w.imgORBEN);
    ASSERT_FALSE(described.empty());
    EXPECT_EQ(described.back().description, outcome);
    EXPECT_FALSE(reader.of(QAccessible::Focus, w.imgORBEN).empty());
}

// A demo's grabs of the window, read back from their files, show more than one colour.
TEST_F(StartButtonTest, ScriptedRunSavesGrabsOfMoreThanOneColour) {
    showWithHealthyTool();
    QTemporaryDir shots;
    ScriptedRunOptions options;
    options.autoStart = true;
    options.screenshotDir = shots.path();
    ScriptedRun script(*delegate, options);
    delegate->onTimer1();           // the idle grab, and START pressed from the event loop
    QApplication::processEvents();  // the whole update runs here
    ASSERT_FALSE(delegate->core().isRunning());
    delegate->onTimer1();  // the finished grab
    for (const char* name : {"idle.png", "finished.png"}) {
        const QImage shot(shots.filePath(QString::fromLatin1(name)));
        EXPECT_EQ(shot.size(), QSize(640, 480)) << name;
        EXPECT_FALSE(singleColour(shot)) << name;
    }
    QImage flat(8, 8, QImage::Format_RGB32);
    flat.fill(QColor(10, 20, 30));
    EXPECT_EQ(singleColour(flat), qRgb(10, 20, 30));
}

TEST_F(StartButtonTest, ServiceMenuChoiceRunsItsOneWordOnTheConverterListed) {
    // One converter listed on 2-3: the listing runs unpinned, the word pinned to that port.
    bundle.writeTool(
        "[ \"$1\" = ports ] && printf 'CONVERTER 2-3 0e7b:0bf2 /dev/hidraw9\\nEND OF LIST: 1 converters\\n'\n"
        "printf '%s %s\\n' \"${TAVIK_PORT:--}\" \"$1\" >> \"$(dirname \"$0\")/words\"\n");
    open();
    delegate->onChangeMenu1(delegate->window().menu1->currentIndex());  // "Status B"
    delegate->onChangeMenu1(0);                                         // "Start A"
    QFile words(bundle.resourceDir() + QStringLiteral("/words"));
    ASSERT_TRUE(words.open(QIODevice::ReadOnly));
    EXPECT_EQ(words.readAll(), QByteArray("- ports\n2-3 stb\n- ports\n2-3 sa\n"));
}

}  // namespace
}  // namespace quill::qt::test
