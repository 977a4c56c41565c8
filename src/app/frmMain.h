// The program's one window: the archive queue, the contents list, the options,
// the output path and the extraction run. It owns the format dispatcher and
// serves it as its window (progress, percentage, buttons, questions). The
// rules that need no screen live in WindowRules; every dialog goes through
// the Dialogs object it is given.
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
class QMenu;
class QPushButton;
class QSettings;
class QSplitter;
class QTreeWidget;

namespace velmora::ui {
class PictureBox;
class QueueListBox;
class XP_ProgressBar;
class ucBrowse;
} // namespace velmora::ui

namespace velmora::app {

// The project's home page, opened by the logo. Empty until there is one; the
// logo then opens the help page's "About" section.
inline constexpr auto kHomePage = "";

class frmMain : public QWidget, public WindowServices {
    Q_OBJECT
public:
    explicit frmMain(Dialogs& dialogs, QWidget* parent = nullptr);
    ~frmMain() override;

    // Steps 2-6 of the Open command for a path already chosen (the program's
    // FILE arguments come in this way too).
    void openArchivePath(const QString& path);
    // The click of "Start".
    void StartExtraction();
    // True from the building of the selection until UnPack returns.
    bool runActive() const { return running_; }
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
    void message_box(std::string_view text, std::string_view title, MessageIcon icon) override;
    bool ask_yes_no(std::string_view text, std::string_view title) override;
    std::string input_box(std::string_view prompt, std::string_view title) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void restoreSettings();
    void SetupColumns();

    // Main window and contents list.
    void chameleonButton2_Click();
    void List1_Click();
    void ClearArchiveContents();
    void ShowArchiveContents();
    void ApplySelectAll();
    void AutoSizeColumns();
    void setAllRowsChecked(bool checked);

    // Extraction run.
    void chameleonButton4_Click();
    void finishStart();
    void setRunActive(bool active);
    void resetProgressDisplay();

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
    void emptyQueueAftermath();

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
    QSplitter* splitter_ = nullptr;
    QMenu* menu = nullptr;
    QAction* pastefile = nullptr;
    QAction* mnuRemove = nullptr;
    QAction* mnuRemoveAll = nullptr;
};

} // namespace velmora::app
