// The folder tree: the file system's folders (hidden ones left out) in a tree
// view. Choosing a folder raises PathChange with its path ending in "/".
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

class QFileSystemModel;

namespace velmora::ui {

class ucBrowse : public QTreeView {
    Q_OBJECT
public:
    explicit ucBrowse(QWidget* parent = nullptr);

    // Selects the folder at path (as a user's click would) and shows it.
    // False when the model has no such folder.
    bool setPath(const QString& path);
    // The selected folder with a trailing "/", or "" when none is selected.
    QString path() const;
    // Unfolds the tree down to path without choosing it.
    void reveal(const QString& path);

signals:
    void PathChange(const QString& path);

protected:
    void focusInEvent(QFocusEvent* event) override;

private:
    QString pathOf(const QModelIndex& index) const;

    QFileSystemModel* model_;
    QString revealPath_;
    QElapsedTimer revealClock_;
    QTimer revealTimer_;
    bool quiet_ = false;
};

} // namespace velmora::ui
