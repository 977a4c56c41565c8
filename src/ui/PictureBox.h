// A picture that reacts to a click (the window's logo).
#pragma once

#include <QLabel>

namespace velmora::ui {

class PictureBox : public QLabel {
    Q_OBJECT
public:
    explicit PictureBox(QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The program's logo, drawn at size x size pixels (the same design as the
// installed SVG icon: a blue box with an open lid and a down arrow).
QPixmap logoPixmap(int size);

} // namespace velmora::ui
