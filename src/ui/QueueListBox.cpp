// Queue list box: drops and right-button presses.
#include "ui/QueueListBox.h"

#include <QContextMenuEvent>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

namespace velmora::ui {

QStringList localFilesOf(const QMimeData* mime)
{
    QStringList paths;
    if (!mime)
        return paths;
    QList<QUrl> urls;
    if (mime->hasUrls()) {
        urls = mime->urls();
    } else {
        const QByteArray gnome = mime->data(QStringLiteral("x-special/gnome-copied-files"));
        const QList<QByteArray> lines = gnome.split('\n');
        // The first line says "copy" or "cut"; the URLs follow.
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            if (!line.isEmpty())
                urls.append(QUrl::fromEncoded(line));
        }
    }
    for (const QUrl& url : urls) {
        if (url.isLocalFile() && !url.toLocalFile().isEmpty())
            paths.append(url.toLocalFile());
    }
    return paths;
}

QueueListBox::QueueListBox(QWidget* parent) : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    // One line of text per item: the view need not measure each item, and it
    // lays out long queues in batches, so a scan that appends thousands of
    // archives does not stall the window.
    setUniformItemSizes(true);
    setLayoutMode(QListView::Batched);
    setBatchSize(2000);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    setDropIndicatorShown(false);
}

void QueueListBox::dragEnterEvent(QDragEnterEvent* event)
{
    if (!localFilesOf(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void QueueListBox::dragMoveEvent(QDragMoveEvent* event)
{
    if (!localFilesOf(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void QueueListBox::dropEvent(QDropEvent* event)
{
    const QStringList paths = localFilesOf(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit filesDropped(paths);
}

void QueueListBox::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        event->accept();
        emit rightButtonPressed(event->position().toPoint(), event->globalPosition().toPoint());
        return;
    }
    QListWidget::mousePressEvent(event);
}

void QueueListBox::keyPressEvent(QKeyEvent* event)
{
    const bool shiftF10 = event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier;
    if (event->key() == Qt::Key_Menu || shiftF10) {
        event->accept();
        menuFromKeyboard();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void QueueListBox::contextMenuEvent(QContextMenuEvent* event)
{
    // The right button is handled on its press; only the keyboard comes here.
    if (event->reason() == QContextMenuEvent::Keyboard) {
        event->accept();
        menuFromKeyboard();
        return;
    }
    QListWidget::contextMenuEvent(event);
}

void QueueListBox::menuFromKeyboard()
{
    // At the selected item, so the press "hits" what is already selected;
    // with nothing selected, at no item (the menu opens at the top left).
    const QList<QListWidgetItem*> selected = selectedItems();
    if (selected.isEmpty()) {
        emit menuKeyPressed(QPoint(-1, -1), viewport()->mapToGlobal(QPoint(2, 2)));
        return;
    }
    const QPoint at = visualItemRect(selected.first()).center();
    emit menuKeyPressed(at, viewport()->mapToGlobal(at));
}

} // namespace velmora::ui
