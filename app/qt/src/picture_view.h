#pragma once
// Shows one picture, centred and scaled down (never up) to fit its frame.
#include <QtGui/QPixmap>
#include <QtWidgets/QWidget>

namespace quill::qt {

class PictureView : public QWidget {
public:
    explicit PictureView(QWidget* parent = nullptr);

    // `name` is kept for the record even when the picture could not be loaded.
    void setPicture(const QString& name, const QPixmap& picture);
    QString pictureName() const { return name_; }
    const QPixmap& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString name_;
    QPixmap picture_;
};

}  // namespace quill::qt
