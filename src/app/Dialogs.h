// Every dialog and outside service the main window uses: message boxes (and
// the ones that offer to quiet or cancel a run), the end-of-run report, the
// yes/no question, the password box, the file and folder dialogs, opening a
// page in the browser and showing the queue's pop-up menu. The program uses
// QtDialogs; tests put a recording double in its place.
#pragma once

#include "app/WindowRules.h"
#include "archive/WindowServices.h"

#include <QPoint>
#include <QString>
#include <QStringList>
#include <QUrl>

class QMenu;
class QWidget;

namespace velmora::app {

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // A modal box with one OK button.
    virtual void message(QWidget* parent, const QString& text, const QString& title, MessageIcon icon) = 0;
    // A per-entry box of a run from the second on: OK, "Show no more messages
    // in this run" and "Cancel the run".
    virtual RunMessageChoice runMessage(QWidget* parent, const QString& text, const QString& title,
                                        MessageIcon icon) = 0;
    // The end-of-run report (one OK button).
    virtual void runSummary(QWidget* parent, const RunSummary& summary) = 0;
    // Yes/No with the question icon; true for Yes.
    virtual bool askYesNo(QWidget* parent, const QString& text, const QString& title) = 0;
    // One-line input whose typing is masked; "" when cancelled.
    virtual QString password(QWidget* parent, const QString& prompt, const QString& title) = 0;
    // An existing file, or "" when cancelled.
    virtual QString openFile(QWidget* parent, const QString& title, const QStringList& filters) = 0;
    // An existing folder, or "" when cancelled.
    virtual QString existingFolder(QWidget* parent, const QString& title, const QString& startFolder) = 0;
    virtual void openUrl(const QUrl& url) = 0;
    virtual void popupMenu(QMenu* menu, const QPoint& globalPos) = 0;
};

// The real dialogs.
class QtDialogs final : public Dialogs {
public:
    void message(QWidget* parent, const QString& text, const QString& title, MessageIcon icon) override;
    RunMessageChoice runMessage(QWidget* parent, const QString& text, const QString& title,
                                MessageIcon icon) override;
    void runSummary(QWidget* parent, const RunSummary& summary) override;
    bool askYesNo(QWidget* parent, const QString& text, const QString& title) override;
    QString password(QWidget* parent, const QString& prompt, const QString& title) override;
    QString openFile(QWidget* parent, const QString& title, const QStringList& filters) override;
    QString existingFolder(QWidget* parent, const QString& title, const QString& startFolder) override;
    void openUrl(const QUrl& url) override;
    void popupMenu(QMenu* menu, const QPoint& globalPos) override;
};

} // namespace velmora::app
