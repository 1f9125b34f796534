#pragma once
// Shows one picture, centred and scaled down (never up) to fit its frame.
#include <QtGui/QPixmap>
#include <QtWidgets/QWidget>

class QAccessibleInterface;

namespace quill::qt {

class PictureView : public QWidget {
public:
    explicit PictureView(QWidget* parent = nullptr);

    // The update's status region: a progress bar to screen readers, its value the percentage of
    // the progress picture shown (statusShownBy), its description the status in words.
    void setStatusRegion() { statusRegion_ = true; }
    bool isStatusRegion() const { return statusRegion_; }

    // `name` is kept for the record even when the picture could not be loaded.
    void setPicture(const QString& name, const QPixmap& picture);
    QString pictureName() const { return name_; }
    const QPixmap& picture() const { return picture_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString name_;
    QPixmap picture_;
    bool statusRegion_ = false;
};

// What screen readers see of a picture: a graphic, or the status region's progress bar.
QAccessibleInterface* pictureAccessible(PictureView* view);

}  // namespace quill::qt
