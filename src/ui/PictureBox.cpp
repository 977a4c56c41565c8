// Clickable picture and the drawn logo.
#include "ui/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace velmora::ui {

PictureBox::PictureBox(QWidget* parent) : QLabel(parent)
{
    setCursor(Qt::PointingHandCursor);
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

QPixmap logoPixmap(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // Box body.
    p.setPen(QPen(QColor(0x1d, 0x3f, 0x72), 2));
    p.setBrush(QColor(0x2f, 0x6f, 0xc6));
    p.drawRoundedRect(QRectF(8, 26, 48, 32), 4, 4);
    // Lid.
    p.setBrush(QColor(0x5d, 0x9c, 0xec));
    QPainterPath lid;
    lid.moveTo(6, 26);
    lid.lineTo(14, 16);
    lid.lineTo(50, 16);
    lid.lineTo(58, 26);
    lid.closeSubpath();
    p.drawPath(lid);
    // Arrow out of the box.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(28, 30);
    arrow.lineTo(36, 30);
    arrow.lineTo(36, 42);
    arrow.lineTo(43, 42);
    arrow.lineTo(32, 53);
    arrow.lineTo(21, 42);
    arrow.lineTo(28, 42);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return pm;
}

} // namespace velmora::ui
