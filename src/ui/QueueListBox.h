// The single-selection list box of the archive queue. It accepts file drops
// (local files from text/uri-list, in drop order) and reports a right-button
// press with its position instead of moving the selection itself; the Menu
// key and Shift+F10 report the selected item's place the same way.
#pragma once

#include <QListWidget>
#include <QStringList>

class QMimeData;

namespace velmora::ui {

// Local file paths of a drop or a clipboard, in their order: text/uri-list
// first, else the file managers' x-special/gnome-copied-files ("copy" or "cut"
// line, then one URL per line). Non-local URLs are left out.
QStringList localFilesOf(const QMimeData* mime);

class QueueListBox : public QListWidget {
    Q_OBJECT
public:
    explicit QueueListBox(QWidget* parent = nullptr);

signals:
    void filesDropped(const QStringList& paths);
    void rightButtonPressed(const QPoint& pos, const QPoint& globalPos);
    void menuKeyPressed(const QPoint& pos, const QPoint& globalPos);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void menuFromKeyboard();
};

} // namespace velmora::ui
