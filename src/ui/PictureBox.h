// A picture that reacts to a click (the window's logo), and the program's
// logo and window icon, drawn from the installed SVG icon (packaging/
// velmora.svg, compiled in as a resource) so they are sharp at any scale.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QWidget>

class QSvgRenderer;

namespace velmora::ui {

class PictureBox : public QWidget {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {40, 40}; }
    QSize minimumSizeHint() const override { return {24, 24}; }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QSvgRenderer* renderer_;
};

// The logo at size x size device-independent pixels for a screen of the given
// device pixel ratio: size x ratio real pixels, rendered from the SVG.
QPixmap logoPixmap(int size, qreal devicePixelRatio = 1.0);
// The window icon: the logo at the sizes desktops ask for, 16 to 256 pixels.
QIcon appIcon();

} // namespace velmora::ui
