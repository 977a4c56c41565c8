// Clickable logo and the icon, rendered from the SVG resource.
#include "ui/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>
#include <QSvgRenderer>

#include <algorithm>

// The resource lives in a static library: register it before first use, or
// the linker may leave its initialiser out.
static void initLogoResource()
{
    static const bool once = [] {
        Q_INIT_RESOURCE(velmora_ui);
        return true;
    }();
    (void)once;
}

namespace velmora::ui {

namespace {

const QString kLogoResource = QStringLiteral(":/velmora/velmora.svg");

} // namespace

PictureBox::PictureBox(QWidget* parent) : QWidget(parent), renderer_(new QSvgRenderer(this))
{
    initLogoResource();
    renderer_->load(kLogoResource);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void PictureBox::paintEvent(QPaintEvent*)
{
    // Drawn as vectors at the screen's own resolution on every paint.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int side = std::min(width(), height());
    renderer_->render(&p, QRectF((width() - side) / 2.0, (height() - side) / 2.0, side, side));
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QWidget::mouseReleaseEvent(event);
}

QPixmap logoPixmap(int size, qreal devicePixelRatio)
{
    const int real = qRound(size * devicePixelRatio);
    QPixmap pm(real, real);
    pm.fill(Qt::transparent);
    {
        initLogoResource();
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        QSvgRenderer renderer(kLogoResource);
        renderer.render(&p, QRectF(0, 0, real, real));
    }
    pm.setDevicePixelRatio(devicePixelRatio);
    return pm;
}

QIcon appIcon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(logoPixmap(size));
    return icon;
}

} // namespace velmora::ui
