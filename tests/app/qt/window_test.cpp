// The built window: frames, texts, fonts, colours, the first tick, resize and zoom.
#include <gtest/gtest.h>
#include <QtGui/QFontInfo>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QProgressBar>

#include "main_window.h"
#include "picture_view.h"
#include "qt_test_support.h"
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

}  // namespace
}  // namespace quill::qt::test
