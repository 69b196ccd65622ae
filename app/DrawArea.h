#pragma once

// DrawArea: the picture of the result browser. Shows its image from its top-left corner, or
// opaque blue while it has none.
//
// Thread: GUI only.

#include <QFrame>
#include <QImage>

class DrawArea : public QFrame
{
    Q_OBJECT

public:
    explicit DrawArea(QWidget *aParent = nullptr);

    const QImage &image() const { return img; }

public slots:
    // The caller repaints.
    void setImage(QImage aImg);

protected:
    void paintEvent(QPaintEvent *aEvent) override;

private:
    QImage img;
};
