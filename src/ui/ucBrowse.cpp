// Folder tree over QFileSystemModel (folders only, root "/").
#include "ui/ucBrowse.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTimer>

namespace velmora::ui {

ucBrowse::ucBrowse(QWidget* parent) : QTreeView(parent), model_(new QFileSystemModel(this))
{
    model_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    model_->setReadOnly(true);
    model_->setRootPath(QStringLiteral("/"));
    setModel(model_);
    for (int c = 1; c < model_->columnCount(); ++c)
        hideColumn(c);
    header()->hide();
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformRowHeights(true);
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) {
                if (quiet_)
                    return;
                revealPath_.clear();
                if (keyboardMove_)
                    settleTimer_.start();
                else
                    choose(current);
            });
    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kSettleMs);
    connect(&settleTimer_, &QTimer::timeout, this, [this] { choose(currentIndex()); });
    // The model reads folders in the background and inserts their rows in
    // batches: while a revealed folder is pending (for a few seconds, until the
    // user picks a folder), scroll to it again once the insertions settle.
    revealTimer_.setSingleShot(true);
    revealTimer_.setInterval(50);
    connect(&revealTimer_, &QTimer::timeout, this, [this] {
        const QModelIndex index = model_->index(revealPath_);
        if (revealPath_.isEmpty() || !index.isValid())
            return;
        for (QModelIndex up = index; up.isValid(); up = up.parent())
            expand(up);
        scrollTo(index, QAbstractItemView::PositionAtTop);
    });
    auto settleThenReveal = [this] {
        if (!revealPath_.isEmpty() && revealClock_.isValid() && revealClock_.elapsed() < 3000)
            revealTimer_.start();
    };
    connect(model_, &QAbstractItemModel::rowsInserted, this, settleThenReveal);
    connect(model_, &QAbstractItemModel::layoutChanged, this, settleThenReveal);
}

void ucBrowse::focusInEvent(QFocusEvent* event)
{
    // Qt's views make the first row current when they gain focus with none;
    // that is no choice of the user's and must not fill the queue.
    const bool hadCurrent = currentIndex().isValid();
    quiet_ = true;
    QTreeView::focusInEvent(event);
    if (!hadCurrent && currentIndex().isValid())
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    quiet_ = false;
}

void ucBrowse::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && currentIndex().isValid()) {
        // Return chooses the folder at once (again, if it was chosen before).
        settleTimer_.stop();
        haveChosen_ = false;
        choose(currentIndex());
        event->accept();
        return;
    }
    keyboardMove_ = true;
    QTreeView::keyPressEvent(event);
    keyboardMove_ = false;
}

void ucBrowse::choose(const QModelIndex& index)
{
    settleTimer_.stop();
    const QString p = pathOf(index);
    // A keyboard walk that comes back to where it started chooses nothing new.
    if (haveChosen_ && p == lastChosen_ && !p.isEmpty())
        return;
    lastChosen_ = p;
    haveChosen_ = true;
    emit PathChange(p);
}

QString ucBrowse::pathOf(const QModelIndex& index) const
{
    if (!index.isValid())
        return {};
    QString p = model_->filePath(index);
    if (p.isEmpty())
        return {};
    if (!p.endsWith(QLatin1Char('/')))
        p += QLatin1Char('/');
    return p;
}

bool ucBrowse::setPath(const QString& path)
{
    const QModelIndex index = model_->index(path);
    if (!index.isValid())
        return false;
    scrollTo(index);
    setCurrentIndex(index);
    return true;
}

QString ucBrowse::path() const
{
    return pathOf(currentIndex());
}

void ucBrowse::reveal(const QString& path)
{
    const QModelIndex index = model_->index(path);
    if (!index.isValid())
        return;
    revealPath_ = path;
    revealClock_.start();
    revealTimer_.start();
    for (QModelIndex up = index; up.isValid(); up = up.parent())
        expand(up);
    scrollTo(index, QAbstractItemView::PositionAtTop);
}

} // namespace velmora::ui
