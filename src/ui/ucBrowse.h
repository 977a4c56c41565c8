// The folder tree: the file system's folders (hidden ones left out) in a tree
// view. Choosing a folder raises PathChange with its path ending in "/": a
// click or Return at once, a move with the keyboard only once the user has
// settled on a folder (a short pause), so stepping through the tree starts
// no scan per step.
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

    // How long a keyboard move must rest before it counts as a choice.
    static constexpr int kSettleMs = 400;
    // True while a keyboard move waits to settle.
    bool choicePending() const { return settleTimer_.isActive(); }

signals:
    void PathChange(const QString& path);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QString pathOf(const QModelIndex& index) const;
    void choose(const QModelIndex& index);

    QFileSystemModel* model_;
    QString revealPath_;
    QElapsedTimer revealClock_;
    QTimer revealTimer_;
    QTimer settleTimer_;
    bool quiet_ = false;
    bool keyboardMove_ = false;
    QString lastChosen_;
    bool haveChosen_ = false;
};

} // namespace velmora::ui
