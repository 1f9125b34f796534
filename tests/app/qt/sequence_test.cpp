// Pressing START against a scripted tool: what the window refuses while the update runs, the
// Complete screen and the button that follows. The Failed screens are followed in tests/e2e.
#include <QtCore/QFile>
#include <QtCore/QTimer>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <gtest/gtest.h>

#include "main_window.h"
#include "picture_view.h"
#include "qt_test_support.h"
#include "title_button.h"

namespace quill::qt::test {
namespace {

struct EndScreen {
    QString picture, centre, bottom, button;
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

TEST_F(StartButtonTest, AnUpdateRefusesCloseAndInputThenEndsCompleteAndFinishEnds) {
    bundle.writeTool(kHealthyTool);
    bundle.writeFirmware("tmpa.hex", 48 + 56);
    open();
    MainWindow& w = delegate->window();
    w.show();

    // Runs inside the first tool run's wait, in the middle of the update.
    bool ranDuringUpdate = false;
    bool visibleAfterClose = false;
    bool tickedByClick = false;
    QTimer::singleShot(0, [&] {
        ranDuringUpdate = delegate->core().isRunning();
        w.close();
        visibleAfterClose = w.isVisible();
        QTest::mouseClick(w.ckbox1, Qt::LeftButton, {}, QPoint(5, 10));
        tickedByClick = w.ckbox1->isChecked();
    });
    const EndScreen end = pressStart();

    ASSERT_TRUE(ranDuringUpdate);
    EXPECT_TRUE(visibleAfterClose);
    EXPECT_FALSE(tickedByClick);
    EXPECT_TRUE(delegate->messagesShown().contains(QString::fromUtf8(kCloseRefusedText.data())));
    EXPECT_EQ(end.picture, QStringLiteral("complete.png"));
    EXPECT_EQ(end.centre, QStringLiteral("Complete"));
    EXPECT_EQ(end.bottom, QStringLiteral("Firmware successfully updated."));
    EXPECT_EQ(end.button, QStringLiteral("FINISH"));
    EXPECT_EQ(w.labelBot->geometry(), QRect(10, 430, 450, 20));  // moved when running
    EXPECT_TRUE(w.ckbox1->isHidden());

    // Once the update has ended the window closes, and FINISH ends the application.
    w.close();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(exitCode, -100);
    w.startBtn->click();
    EXPECT_EQ(exitCode, 0);
}

TEST_F(StartButtonTest, ServiceMenuChoiceRunsItsOneWordOnTheConverterListed) {
    // One converter listed on 2-3: the listing runs unpinned, the word pinned to that port.
    bundle.writeTool("[ \"$1\" = ports ] && echo 'CONVERTER 2-3 0e7b:0bf2 /dev/hidraw9'\n"
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
