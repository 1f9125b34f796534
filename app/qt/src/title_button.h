#pragma once
// A borderless button that draws only its title (and, for START, its face picture). The
// window's texts are all titles of such buttons; their colour belongs to the title, so a plain
// title change brings back the default colour and the caller styles it again.
// Labels take no focus and read as static text to screen readers; a button made pressable takes
// the focus with Tab, is pressed with Space or Enter and shows a focus frame once the keyboard has
// moved the focus, so the mouse user's window looks as before.
#include <QtGui/QPixmap>
#include <QtWidgets/QPushButton>

namespace quill::qt {

class TitleButton : public QPushButton {
public:
    explicit TitleButton(QWidget* parent = nullptr);

    // New title in the default colour.
    void setTitle(const QString& title);
    QString title() const { return text(); }

    void setTitleColour(const QColor& colour);
    QColor titleColour() const;

    // Horizontal placement of the title; it is always centred vertically.
    void setTitleAlignment(Qt::Alignment horizontal);
    Qt::Alignment titleAlignment() const { return alignment_; }

    // Picture drawn under the title, stretched to the frame.
    void setFace(const QPixmap& face);
    bool hasFace() const { return !face_.isNull(); }

    static QColor defaultTitleColour() { return Qt::black; }

    // A button rather than a label: focusable, and a push button to screen readers.
    void setPressable();

    // Screen readers see a label (a title button that takes no focus) as static text named by
    // its title, or by `emptyName` while the title is empty.
    void setEmptyAccessibleName(const QString& emptyName) { emptyName_ = emptyName; }
    QString accessibleTitle() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPixmap face_;
    Qt::Alignment alignment_ = Qt::AlignHCenter;
    QString emptyName_;
};

// Installs (once) the accessibility factory that presents labels as static text, pictures as
// graphics and the status picture as a progress bar (pictureAccessible).
void installAccessibleFactory();

}  // namespace quill::qt
