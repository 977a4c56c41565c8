// Folder tree over QFileSystemModel (folders only, root "/").
#include "ui/ucBrowse.h"

#include <QFileSystemModel>
#include <QHeaderView>

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
                emit PathChange(pathOf(current));
            });
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
    for (QModelIndex up = index; up.isValid(); up = up.parent())
        expand(up);
    scrollTo(index, QAbstractItemView::PositionAtTop);
}

} // namespace velmora::ui
