#pragma once
// A borderless button that draws only its title (and, for START, its face picture). The
// window's texts are all titles of such buttons; their colour belongs to the title, so a plain
// title change brings back the default colour and the caller styles it again.
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

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap face_;
    Qt::Alignment alignment_ = Qt::AlignHCenter;
};

}  // namespace quill::qt
