#include "DrawArea.h"

#include <QPainter>

DrawArea::DrawArea(QWidget *aParent)
    : QFrame(aParent)
{ }

void DrawArea::setImage(QImage aImg)
{
    img = aImg;
}

void DrawArea::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (img.isNull())
        painter.fillRect(rect(), QColor(0, 0, 255));
    else
        painter.drawImage(0, 0, img);
}
