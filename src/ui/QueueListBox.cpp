// Queue list box: drops and right-button presses.
#include "ui/QueueListBox.h"

#include <QDragEnterEvent>
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

} // namespace velmora::ui
