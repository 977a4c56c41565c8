// The program's one window: the archive queue, the contents list, the options,
// the output path and the extraction run. It owns the format dispatcher and
// serves it as its window (progress, percentage, buttons, questions), and a
// folder scanner that fills the queue from a worker thread. The rules that
// need no screen live in WindowRules; every dialog goes through the Dialogs
// object it is given.
#pragma once

#include "app/Dialogs.h"
#include "app/WindowRules.h"
#include "archive/Cls_GetFileType.h"
#include "archive/WindowServices.h"

#include <QString>
#include <QWidget>

#include <memory>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidgetItem;
class QMenu;
class QPushButton;
class QSettings;
class QSplitter;
class QTreeWidget;
class QTreeWidgetItem;

namespace velmora::ui {
class PictureBox;
class QueueListBox;
class XP_ProgressBar;
class ucBrowse;
} // namespace velmora::ui

namespace velmora::app {

class FolderScanner;

// The project's home page, opened by the logo. Empty until there is one; the
// logo then opens the help page's "About" section.
inline constexpr auto kHomePage = "";

class frmMain : public QWidget, public WindowServices {
    Q_OBJECT
public:
    explicit frmMain(Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmMain() override;

    // Steps 2-6 of the Open command for a path already chosen: the archive is
    // appended to the queue, selected and listed.
    void openArchivePath(const QString& path);
    // The program's FILE arguments: appended in order, the first of them
    // selected and listed; the rejected ones named in one message.
    void openCommandLine(const QStringList& files, const QStringList& rejected);
    // The click of "Start".
    void StartExtraction();
    // True from the building of the selection until UnPack returns.
    bool runActive() const { return running_; }
    // True while a folder scan (folder tree or drop) is filling the queue.
    bool scanActive() const;
    const QString& currentArchivePath() const { return CurrentArchivePath; }
    Cls_GetFileType& dispatcher();

    static QUrl helpPageUrl();
    static QUrl homePageUrl();

    // WindowServices
    void set_progress_value(int32_t value) override;
    void set_progress_max(int32_t max) override;
    void set_progress_color(uint32_t rgb) override;
    std::string percent_caption() const override;
    void set_percent_caption(std::string_view caption) override;
    void set_percent_visible(bool visible) override;
    void set_run_buttons_enabled(bool enabled) override;
    int32_t contents_row_count() const override;
    bool overwrite_existing_files() const override;
    void yield() override;
    int32_t update_interval_ms() const override;
    void set_entry_progress(double fraction) override;
    void message_box(std::string_view text, std::string_view title, MessageIcon icon) override;
    bool ask_yes_no(std::string_view text, std::string_view title) override;
    std::string input_box(std::string_view prompt, std::string_view title) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void setupKeyboard();
    void restoreSettings();
    void SetupColumns();
    void restoreWindowState();
    void saveWindowState();

    // Main window and contents list.
    void chameleonButton2_Click();
    void List1_Click();
    void ClearArchiveContents();
    void ShowArchiveContents();
    void ApplySelectAll();
    void AutoSizeColumns();
    void setAllRowsChecked(bool checked);
    void markBlockedRow(QTreeWidgetItem* row, const ExtractBlocker& blocker);
    QListWidgetItem* selectedQueueItem() const;

    // Extraction run.
    bool prepareOutputFolder(StartInputs& in);
    void chameleonButton4_Click();
    void escapePressed();
    void finishStart();
    void setRunActive(bool active);
    void resetProgressDisplay();
    void beginRunMessages();
    void showRunSummary();

    // Queue.
    void List1_OLEDragDrop(const QStringList& paths);
    void List1_MouseDown(const QPoint& pos, const QPoint& globalPos);
    void pastefile_Click();
    void mnuRemove_Click();
    void mnuRemoveAll_Click();
    void ucBrowse1_PathChange(const QString& path);
    bool GetPastedFileData(QStringList& theFiles) const;
    void appendToQueue(const QString& path);
    void selectFirstQueueItem();
    void selectQueueRow(int row);
    void emptyQueueAftermath();
    void archivesFound(const QStringList& paths);
    void scanProgress(qsizetype found);
    void scanFinished();

    // Options and output folder.
    Options currentOptions() const;
    void optionChanged(OptionControl which);
    void chameleonButton1_Click();

    QString defaultTitle() const;

    Dialogs& dialogs_;
    std::unique_ptr<QSettings> settings_;
    std::unique_ptr<Cls_GetFileType> dispatcher_;

    QString CurrentArchivePath;
    QString OpenedFilePath;
    bool running_ = false;
    bool closeAfterRun_ = false;
    bool queueClickPending_ = false;

    // Per-entry boxes of the running extraction (see RunBoxFor).
    int runBoxes_ = 0;
    bool runQuiet_ = false;
    bool runCancelChosen_ = false;
    bool runCancelledByUser_ = false;
    int64_t runHiddenMessages_ = 0;

    FolderScanner* scanner_ = nullptr;

    // Controls, named as the window's design names them.
    ui::QueueListBox* List1 = nullptr;
    QTreeWidget* lstInZip = nullptr;
    QLineEdit* Text1 = nullptr;
    QLineEdit* Text2 = nullptr;
    QPushButton* chameleonButton1 = nullptr;
    QPushButton* chameleonButton2 = nullptr;
    QPushButton* isButton1 = nullptr;
    QPushButton* chameleonButton4 = nullptr;
    QPushButton* chameleonButton5 = nullptr;
    ui::PictureBox* Image2 = nullptr;
    QGroupBox* Frame1 = nullptr;
    QCheckBox* Check1 = nullptr;
    QCheckBox* Check2 = nullptr;
    QCheckBox* Check3 = nullptr;
    QCheckBox* Check4 = nullptr;
    QCheckBox* Check5 = nullptr;
    ui::XP_ProgressBar* XP_ProgressBar1 = nullptr;
    QLabel* Percent = nullptr;
    ui::ucBrowse* ucBrowse1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* lblScan = nullptr;
    QSplitter* splitter_ = nullptr;
    QSplitter* leftSplitter_ = nullptr;
    QMenu* menu = nullptr;
    QAction* pastefile = nullptr;
    QAction* mnuRemove = nullptr;
    QAction* mnuRemoveAll = nullptr;
};

} // namespace velmora::app
