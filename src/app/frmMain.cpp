// The main window: layout, start-up, the contents list, the extraction run,
// the queue's commands and folder scans, the keyboard, the window's own
// state and the settings rules wired to the controls.
#include "app/frmMain.h"

#include "app/FolderScanner.h"
#include "ui/PictureBox.h"
#include "ui/QueueListBox.h"
#include "ui/XP_ProgressBar.h"
#include "ui/ucBrowse.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QShortcut>
#include <QSplitter>
#include <QStandardPaths>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace velmora::app {

namespace {

std::string toCorePath(const QString& path)
{
    // File names go to the core as the file system's bytes.
    return QFile::encodeName(path).toStdString();
}

QString fromCore(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The window's own state, kept beside the options while "Save  Settings" is on.
const QString kWindowStateGroup = QStringLiteral("windowstate");

// How often a run may update the bar and yield: a repaint every frame or two
// keeps the window live without the updates costing the run its speed.
constexpr int32_t kRunUpdateIntervalMs = 25;

// The first window: all four columns visible on a 1366 x 768 screen, with
// room for panels and the title bar.
constexpr int kDefaultWidth = 1180;
constexpr int kDefaultHeight = 680;

} // namespace

frmMain::frmMain(Dialogs& dialogs, QWidget* parent)
    : QWidget(parent),
      dialogs_(dialogs),
      settings_(std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                            QCoreApplication::applicationName(),
                                            QCoreApplication::applicationName()))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromLatin1(kWindowTitle));
    setWindowIcon(ui::appIcon());
    scanner_ = new FolderScanner(this);
    buildControls();
    connectControls();
    setupKeyboard();
    // Start-up: the options and the output path, then the columns.
    restoreSettings();
    SetupColumns();
    restoreWindowState();
    ucBrowse1->reveal(QDir::homePath());
}

frmMain::~frmMain() = default;

Cls_GetFileType& frmMain::dispatcher()
{
    if (!dispatcher_)
        dispatcher_ = std::make_unique<Cls_GetFileType>(*this);
    return *dispatcher_;
}

bool frmMain::scanActive() const { return scanner_->active(); }

// ---------------------------------------------------------------- layout

void frmMain::buildControls()
{
    auto named = [](auto* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };

    // Captions carry "&" before the letter that Alt reaches them with.
    chameleonButton2 = named(new QPushButton(QStringLiteral("&Open ZIP Archive"), this), "chameleonButton2");
    Text1 = named(new QLineEdit(this), "Text1");
    chameleonButton5 = named(new QPushButton(QStringLiteral("&Help"), this), "chameleonButton5");
    chameleonButton5->setToolTip(QStringLiteral("Open the help page (F1)"));
    Image2 = named(new ui::PictureBox(this), "Image2");
    Image2->setToolTip(QStringLiteral("About Velmora Archive Extractor"));

    Label2 = named(new QLabel(QStringLiteral(" ( Extract ZIP Archive  )"), this), "Label2");
    ucBrowse1 = named(new ui::ucBrowse(this), "ucBrowse1");
    Label1 = named(new QLabel(QStringLiteral("      ( Drag  and Drop ZIP Files )"), this), "Label1");
    List1 = named(new ui::QueueListBox(this), "List1");
    lblScan = named(new QLabel(this), "lblScan");
    lblScan->setVisible(false);
    lstInZip = named(new QTreeWidget(this), "lstInZip");
    lstInZip->setRootIsDecorated(false);
    lstInZip->setUniformRowHeights(true);
    lstInZip->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstInZip->setAllColumnsShowFocus(true);

    Frame1 = named(new QGroupBox(QStringLiteral("User Options"), this), "Frame1");
    Check1 = named(new QCheckBox(QStringLiteral("Select &All"), Frame1), "Check1");
    Check2 = named(new QCheckBox(QStringLiteral("Over&write Existing Files"), Frame1), "Check2");
    Check3 = named(new QCheckBox(QStringLiteral("&Include Sub-Folders"), Frame1), "Check3");
    Check4 = named(new QCheckBox(QStringLiteral("Save  Se&ttings"), Frame1), "Check4");
    Check5 = named(new QCheckBox(QStringLiteral("&Remember output path"), Frame1), "Check5");
    // The controls' own values before the store is read.
    Check1->setChecked(true);
    Check2->setChecked(true);
    Check3->setChecked(false);
    Check4->setChecked(true);
    Check5->setChecked(false);

    chameleonButton1 = named(new QPushButton(QStringLiteral("&Extract To..."), this), "chameleonButton1");
    Text2 = named(new QLineEdit(this), "Text2");
    isButton1 = named(new QPushButton(QStringLiteral("&Start"), this), "isButton1");
    chameleonButton4 = named(new QPushButton(QStringLiteral("&Cancel"), this), "chameleonButton4");
    XP_ProgressBar1 = named(new ui::XP_ProgressBar(this), "XP_ProgressBar1");
    Percent = named(new QLabel(this), "Percent");
    Percent->setMinimumWidth(QFontMetrics(Percent->font()).horizontalAdvance(QStringLiteral("100%")) + 8);
    Percent->setVisible(false);

    menu = named(new QMenu(QStringLiteral("Menu"), this), "menu");
    pastefile = named(menu->addAction(QStringLiteral("Paste")), "pastefile");
    menu->addSeparator();
    mnuRemove = named(menu->addAction(QStringLiteral("Delete")), "mnuRemove");
    menu->addSeparator();
    mnuRemoveAll = named(menu->addAction(QStringLiteral("Delete All")), "mnuRemoveAll");

    // Top row: Open, its path, Help and the logo.
    auto* top = new QHBoxLayout;
    top->addWidget(chameleonButton2);
    top->addWidget(Text1, 1);
    top->addSpacing(12);
    top->addWidget(chameleonButton5);
    top->addWidget(Image2);

    // Left: the folder tree above the queue; right: the contents.
    auto* treePane = new QWidget(this);
    auto* treeLayout = new QVBoxLayout(treePane);
    treeLayout->setContentsMargins(0, 0, 0, 0);
    treeLayout->addWidget(Label2);
    treeLayout->addWidget(ucBrowse1, 1);
    auto* queuePane = new QWidget(this);
    auto* queueLayout = new QVBoxLayout(queuePane);
    queueLayout->setContentsMargins(0, 0, 0, 0);
    queueLayout->addWidget(Label1);
    queueLayout->addWidget(List1, 1);
    queueLayout->addWidget(lblScan);
    leftSplitter_ = named(new QSplitter(Qt::Vertical, this), "leftSplitter");
    leftSplitter_->addWidget(treePane);
    leftSplitter_->addWidget(queuePane);
    splitter_ = named(new QSplitter(Qt::Horizontal, this), "splitter");
    splitter_->addWidget(leftSplitter_);
    splitter_->addWidget(lstInZip);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({300, kDefaultWidth - 300});

    auto* options = new QHBoxLayout(Frame1);
    for (QCheckBox* c : {Check1, Check2, Check3, Check4, Check5})
        options->addWidget(c);
    options->addStretch(1);

    auto* output = new QHBoxLayout;
    output->addWidget(chameleonButton1);
    output->addWidget(Text2, 1);

    auto* run = new QHBoxLayout;
    run->addWidget(isButton1);
    run->addWidget(chameleonButton4);
    run->addWidget(XP_ProgressBar1, 1);
    run->addWidget(Percent);

    auto* main = new QVBoxLayout(this);
    main->addLayout(top);
    main->addWidget(splitter_, 1);
    main->addWidget(Frame1);
    main->addLayout(output);
    main->addLayout(run);

    // Tab goes top to bottom, left to right, as the controls are laid out.
    const QWidget* order[] = {chameleonButton2, Text1, chameleonButton5, ucBrowse1, List1, lstInZip,
                              Check1, Check2, Check3, Check4, Check5, chameleonButton1, Text2,
                              isButton1, chameleonButton4};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));

    resize(kDefaultWidth, kDefaultHeight);
}

void frmMain::connectControls()
{
    connect(chameleonButton2, &QPushButton::clicked, this, &frmMain::chameleonButton2_Click);
    connect(chameleonButton1, &QPushButton::clicked, this, &frmMain::chameleonButton1_Click);
    connect(isButton1, &QPushButton::clicked, this, &frmMain::StartExtraction);
    connect(chameleonButton4, &QPushButton::clicked, this, &frmMain::chameleonButton4_Click);
    connect(chameleonButton5, &QPushButton::clicked, this, [this] { dialogs_.openUrl(helpPageUrl()); });
    connect(Image2, &ui::PictureBox::clicked, this, [this] { dialogs_.openUrl(homePageUrl()); });

    // The queue click follows the selection (not the current item: the two
    // differ after a Ctrl+click that deselects).
    connect(List1, &QListWidget::itemSelectionChanged, this, [this] {
        if (selectedQueueItem())
            List1_Click();
    });
    // Drops are handled once the drop event has returned, outside the
    // drag-and-drop machinery.
    connect(List1, &ui::QueueListBox::filesDropped, this, &frmMain::List1_OLEDragDrop, Qt::QueuedConnection);
    connect(List1, &ui::QueueListBox::rightButtonPressed, this, &frmMain::List1_MouseDown);
    connect(pastefile, &QAction::triggered, this, &frmMain::pastefile_Click);
    connect(mnuRemove, &QAction::triggered, this, &frmMain::mnuRemove_Click);
    connect(mnuRemoveAll, &QAction::triggered, this, &frmMain::mnuRemoveAll_Click);
    connect(ucBrowse1, &ui::ucBrowse::PathChange, this, &frmMain::ucBrowse1_PathChange);

    connect(scanner_, &FolderScanner::archivesFound, this, &frmMain::archivesFound);
    connect(scanner_, &FolderScanner::progress, this, [this](qsizetype found, const QString&) { scanProgress(found); });
    connect(scanner_, &FolderScanner::finished, this, &frmMain::scanFinished);

    // toggled fires for the program's assignments too, as the rules expect.
    connect(Check1, &QCheckBox::toggled, this, [this] { optionChanged(OptionControl::selectAll); });
    connect(Check2, &QCheckBox::toggled, this, [this] { optionChanged(OptionControl::overwrite); });
    connect(Check3, &QCheckBox::toggled, this, [this] { optionChanged(OptionControl::subFolders); });
    connect(Check4, &QCheckBox::toggled, this, [this] { optionChanged(OptionControl::saveSettings); });
    connect(Check5, &QCheckBox::toggled, this, [this] { optionChanged(OptionControl::rememberPath); });
    connect(Text2, &QLineEdit::textChanged, this, [this] { optionChanged(OptionControl::outputPath); });
}

void frmMain::setupKeyboard()
{
    auto shortcut = [this](const QKeySequence& keys, QWidget* on, Qt::ShortcutContext context, auto slot) {
        auto* s = new QShortcut(keys, on);
        s->setContext(context);
        connect(s, &QShortcut::activated, this, slot);
        return s;
    };
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this, Qt::WindowShortcut, [this] { chameleonButton2_Click(); });
    shortcut(QKeySequence(Qt::Key_F1), this, Qt::WindowShortcut, [this] {
        if (!running_)
            dialogs_.openUrl(helpPageUrl());
    });
    shortcut(QKeySequence(Qt::Key_Escape), this, Qt::WindowShortcut, [this] { escapePressed(); });
    shortcut(QKeySequence(Qt::Key_Delete), List1, Qt::WidgetShortcut, [this] { mnuRemove_Click(); });
    // Return in the output folder box starts, as pressing "Start" would.
    connect(Text2, &QLineEdit::returnPressed, this, &frmMain::StartExtraction);
    connect(List1, &ui::QueueListBox::menuKeyPressed, this, &frmMain::List1_MouseDown);
}

// ---------------------------------------------------------------- settings

void frmMain::restoreSettings()
{
    auto stored = [this](SettingKey k) {
        return settings_->value(QString::fromLatin1(k.section) + QLatin1Char('/') + QString::fromLatin1(k.key),
                                QString())
            .toString();
    };
    auto restoreCheck = [&](QCheckBox* box, SettingKey k) {
        if (const std::optional<bool> v = StoredCheckValue(stored(k)))
            box->setChecked(*v);
    };
    restoreCheck(Check1, kKeySelectAll);
    restoreCheck(Check2, kKeyOverwrite);
    restoreCheck(Check3, kKeySubFolders);
    Text2->setText(stored(kKeyOutputPath));
    restoreCheck(Check4, kKeySaveSettings);
    Check5->setChecked(!Text2->text().isEmpty());
}

void frmMain::restoreWindowState()
{
    settings_->beginGroup(kWindowStateGroup);
    const QByteArray geometry = settings_->value(QStringLiteral("geometry")).toByteArray();
    const QByteArray split = settings_->value(QStringLiteral("splitter")).toByteArray();
    const QByteArray leftSplit = settings_->value(QStringLiteral("leftsplitter")).toByteArray();
    const QByteArray columns = settings_->value(QStringLiteral("columns")).toByteArray();
    settings_->endGroup();
    // Anything unreadable leaves that part as it was built.
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    if (!split.isEmpty())
        splitter_->restoreState(split);
    if (!leftSplit.isEmpty())
        leftSplitter_->restoreState(leftSplit);
    if (!columns.isEmpty())
        lstInZip->header()->restoreState(columns);
}

void frmMain::saveWindowState()
{
    if (!Check4->isChecked())
        return;
    settings_->beginGroup(kWindowStateGroup);
    settings_->setValue(QStringLiteral("geometry"), saveGeometry());
    settings_->setValue(QStringLiteral("splitter"), splitter_->saveState());
    settings_->setValue(QStringLiteral("leftsplitter"), leftSplitter_->saveState());
    settings_->setValue(QStringLiteral("columns"), lstInZip->header()->saveState());
    settings_->endGroup();
    settings_->sync();
}

Options frmMain::currentOptions() const
{
    Options o;
    o.selectAll = Check1->isChecked();
    o.overwrite = Check2->isChecked();
    o.subFolders = Check3->isChecked();
    o.saveSettings = Check4->isChecked();
    o.rememberPath = Check5->isChecked();
    o.outputPath = Text2->text();
    return o;
}

void frmMain::optionChanged(OptionControl which)
{
    const std::vector<SettingWrite> writes = WritesOnChange(which, currentOptions());
    for (const SettingWrite& w : writes)
        settings_->setValue(w.section + QLatin1Char('/') + w.key, w.value);
    // "Save  Settings" off forgets the window's state along with the options.
    if (which == OptionControl::saveSettings && !Check4->isChecked())
        settings_->remove(kWindowStateGroup);
    if (!writes.empty())
        settings_->sync();
    if (which == OptionControl::selectAll)
        setAllRowsChecked(Check1->isChecked());
}

// ---------------------------------------------------------------- contents list

void frmMain::SetupColumns()
{
    lstInZip->setColumnCount(4);
    lstInZip->setHeaderLabels({QStringLiteral("File Name"), QStringLiteral("Zipped Size"),
                               QStringLiteral("File Size"), QStringLiteral("Modified")});
    lstInZip->setColumnWidth(0, 240);
    lstInZip->setColumnWidth(1, 90);
    lstInZip->setColumnWidth(2, 90);
    lstInZip->setColumnWidth(3, 150);
}

void frmMain::chameleonButton2_Click()
{
    if (running_)
        return;
    openArchivePath(dialogs_.openFile(this, QStringLiteral("Select a ZIP file to open"), OpenDialogFilters()));
}

void frmMain::openArchivePath(const QString& path)
{
    if (running_)
        return;
    OpenedFilePath = path;
    Text1->setText(path);
    if (path.isEmpty())
        return;
    // The opened archive becomes the selected one and is listed; the rows of
    // the archive shown before are not touched.
    appendToQueue(path);
    selectQueueRow(List1->count() - 1);
}

void frmMain::openCommandLine(const QStringList& files, const QStringList& rejected)
{
    if (!files.isEmpty() && !running_) {
        const int first = List1->count();
        for (const QString& f : files)
            appendToQueue(f);
        OpenedFilePath = files.first();
        Text1->setText(files.first());
        selectQueueRow(first);
    }
    if (!rejected.isEmpty())
        dialogs_.message(this, RejectedArgumentsText(rejected), QString::fromLatin1(kWindowTitle),
                         MessageIcon::information);
}

QListWidgetItem* frmMain::selectedQueueItem() const
{
    const QList<QListWidgetItem*> selected = List1->selectedItems();
    return selected.isEmpty() ? nullptr : selected.first();
}

void frmMain::List1_Click()
{
    if (running_) {
        // The reader is busy extracting; show the new choice once it is done.
        queueClickPending_ = true;
        return;
    }
    QListWidgetItem* item = selectedQueueItem();
    if (!item)
        return;
    ClearArchiveContents();
    CurrentArchivePath = item->text();
    ShowArchiveContents();
    ApplySelectAll();
}

void frmMain::ClearArchiveContents()
{
    lstInZip->clear();
}

void frmMain::ShowArchiveContents()
{
    Cls_GetFileType& d = dispatcher();
    // Only regular files are read: a FIFO or device named like an archive
    // would block the reader that opens it.
    const QFileInfo info(CurrentArchivePath);
    d.Get_Contents(info.exists() && !info.isFile() ? std::string() : toCorePath(CurrentArchivePath));
    const int32_t count = d.FileCount();
    const QLocale locale;
    DateTextFormatter dateText(locale);
    // A format that is listed but not extracted blocks every entry.
    ExtractBlocker formatBlocker;
    if (count > 0 && !d.CanUnpack()) {
        const std::optional<ReaderKind> kind = d.active_kind();
        formatBlocker = {OutcomeReason::format_not_extracted, kind ? std::string(format_name(*kind)) : std::string()};
    }
    QList<QTreeWidgetItem*> rows;
    rows.reserve(count > 0 ? count : 0);
    for (int32_t k = 1; k <= count; ++k) {
        const QString marker = d.Encrypted(k) ? QStringLiteral("+") : QStringLiteral(" ");
        auto* row = new QTreeWidgetItem;
        row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        row->setCheckState(0, Qt::Unchecked);
        row->setText(0, marker + fromCore(d.FileName(k)));
        if (d.IsDir(k)) {
            row->setText(1, fromCore(d.Method(k)));
            row->setText(2, QStringLiteral("Directory Entry"));
        } else {
            row->setText(1, FormatSize(d.Compressed_Size(k), locale));
            row->setText(2, FormatSize(d.UnCompressed_Size(k), locale));
        }
        row->setText(3, dateText(d.FileDateTime(k)));
        if (formatBlocker)
            markBlockedRow(row, formatBlocker);
        else if (const ExtractBlocker b = d.extract_blocker(k))
            markBlockedRow(row, b);
        rows.append(row);
    }
    lstInZip->addTopLevelItems(rows);
    AutoSizeColumns();
}

void frmMain::markBlockedRow(QTreeWidgetItem* row, const ExtractBlocker& blocker)
{
    // Greyed like disabled text, yet still checkable: row k stays entry k.
    const QBrush grey = lstInZip->palette().brush(QPalette::Disabled, QPalette::Text);
    const QString tip = BlockerToolTip(blocker);
    for (int c = 0; c < 4; ++c) {
        row->setForeground(c, grey);
        row->setToolTip(c, tip);
    }
}

void frmMain::ApplySelectAll()
{
    if (Check1->isChecked())
        setAllRowsChecked(true);
}

void frmMain::setAllRowsChecked(bool checked)
{
    const Qt::CheckState state = checked ? Qt::Checked : Qt::Unchecked;
    const int rows = lstInZip->topLevelItemCount();
    {
        // One repaint for the lot instead of a change notice per row.
        const QSignalBlocker quiet(lstInZip->model());
        for (int r = 0; r < rows; ++r)
            lstInZip->topLevelItem(r)->setCheckState(0, state);
    }
    lstInZip->viewport()->update();
}

void frmMain::AutoSizeColumns()
{
    // Each column gets the width that fits its header and its widest cell
    // over every row. Measuring every cell through the item delegate is slow
    // for tens of thousands of rows, so the cells are first ranked by the sum
    // of their characters' advances (cached per character), and only the
    // widest few by that measure go through the delegate.
    constexpr int candidates = 16;
    const int rows = lstInZip->topLevelItemCount();
    const QFontMetrics fm(lstInZip->font());
    QHash<QChar, int> advance;
    auto roughWidth = [&](const QString& text) {
        int w = 0;
        for (QChar c : text) {
            auto it = advance.find(c);
            if (it == advance.end())
                it = advance.insert(c, fm.horizontalAdvance(c));
            w += *it;
        }
        return w;
    };
    QStyleOptionViewItem option;
    option.initFrom(lstInZip);
    option.font = lstInZip->font();
    option.fontMetrics = fm;
    option.widget = lstInZip;
    option.decorationSize = lstInZip->iconSize().isValid() ? lstInZip->iconSize() : QSize(16, 16);
    QAbstractItemModel* model = lstInZip->model();
    for (int c = 0; c < lstInZip->columnCount(); ++c) {
        std::vector<std::pair<int, int>> ranked; // (rough width, row)
        ranked.reserve(static_cast<size_t>(rows));
        for (int r = 0; r < rows; ++r)
            ranked.emplace_back(roughWidth(lstInZip->topLevelItem(r)->text(c)), r);
        const size_t keep = std::min(ranked.size(), static_cast<size_t>(candidates));
        std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(keep), ranked.end(),
                          [](const auto& a, const auto& b) { return a.first > b.first; });
        int width = lstInZip->header()->sectionSizeHint(c);
        for (size_t i = 0; i < keep; ++i) {
            const QModelIndex index = model->index(ranked[i].second, c);
            width = std::max(width, lstInZip->itemDelegateForIndex(index)->sizeHint(option, index).width());
        }
        lstInZip->setColumnWidth(c, width);
    }
}

QUrl frmMain::helpPageUrl()
{
    const QString dir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        dir + QStringLiteral("/help.html"),
        dir + QStringLiteral("/../share/velmora/help.html"),
    };
    for (const QString& c : candidates) {
        if (QFileInfo(c).isFile())
            return QUrl::fromLocalFile(QFileInfo(c).canonicalFilePath());
    }
    return QUrl::fromLocalFile(candidates.first());
}

QUrl frmMain::homePageUrl()
{
    const QString home = QString::fromUtf8(kHomePage);
    if (!home.isEmpty())
        return QUrl(home);
    QUrl about = helpPageUrl();
    about.setFragment(QStringLiteral("about"));
    return about;
}

// ---------------------------------------------------------------- extraction run
void frmMain::StartExtraction()
{
    if (running_)
        return;
    XP_ProgressBar1->setValue(0);

    StartInputs in;
    in.queueCount = List1->count();
    in.text1 = Text1->text();
    in.outputPath = Text2->text();
    in.outputFolderExists = !in.outputPath.isEmpty() && QFileInfo(in.outputPath).isDir();
    in.outputFolderCreatable = !in.outputFolderExists && OutputFolderCreatable(in.outputPath);
    in.rowCount = lstInZip->topLevelItemCount();
    for (int r = 0; r < in.rowCount && !in.anyRowChecked; ++r)
        in.anyRowChecked = lstInZip->topLevelItem(r)->checkState(0) == Qt::Checked;

    StartOutcome outcome = StartCheck(in);
    if (outcome == StartOutcome::createOutputFolder)
        outcome = prepareOutputFolder(in) ? StartOutcome::extract : StartOutcome::invalidOutputPath;
    if (const std::optional<BoxMessage> box = StartMessage(outcome)) {
        dialogs_.message(this, box->text, box->title, box->icon);
        return;
    }
    bool ran = false;
    if (outcome == StartOutcome::extract && QFileInfo(in.outputPath).isDir()) {
        // A display an earlier run left ("100%" on a green bar) goes: this
        // run's own progress, if it shows any, starts from nothing.
        resetProgressDisplay();
        Percent->clear();
        // The run: only Cancel stays live until UnPack returns.
        setRunActive(true);
        setCursor(Qt::BusyCursor);
        // Row counts are 32-bit: every archive the readers list fits.
        const int32_t rows = lstInZip->topLevelItemCount();
        Selection EntrySelection(static_cast<size_t>(rows) + 1, false);
        for (int32_t k = 1; k <= rows && k <= lstInZip->topLevelItemCount(); ++k) {
            EntrySelection[static_cast<size_t>(k)] = lstInZip->topLevelItem(k - 1)->checkState(0) == Qt::Checked;
            yield();
        }
        XP_ProgressBar1->setValue(0);
        if (!closeAfterRun_) {
            beginRunMessages();
            std::string toPath = toCorePath(in.outputPath);
            dispatcher().UnPack(EntrySelection, toPath);
            ran = true;
        }
        setRunActive(false);
    }
    finishStart();
    if (ran && !closeAfterRun_)
        showRunSummary();
    if (queueClickPending_ && !closeAfterRun_) {
        queueClickPending_ = false;
        List1_Click();
    }
}

bool frmMain::prepareOutputFolder(StartInputs& in)
{
    // As other archivers do: offer to make the folder, with every missing
    // folder above it.
    if (!dialogs_.askYesNo(this, CreateFolderQuestion(in.outputPath), QString::fromLatin1(kWindowTitle)))
        return false;
    if (!QDir().mkpath(in.outputPath) || !QFileInfo(in.outputPath).isDir())
        return false;
    in.outputFolderExists = true;
    return true;
}

void frmMain::finishStart()
{
    unsetCursor();
    chameleonButton1->setEnabled(true);
    chameleonButton2->setEnabled(true);
    if (closeAfterRun_)
        QTimer::singleShot(0, this, &QWidget::close);
}

void frmMain::setRunActive(bool active)
{
    running_ = active;
    for (QWidget* w : std::initializer_list<QWidget*>{List1, ucBrowse1, lstInZip, Frame1, isButton1,
                                                      chameleonButton1, chameleonButton2})
        w->setEnabled(!active);
}

void frmMain::chameleonButton4_Click()
{
    dispatcher().state().CancelRequested = true;
    // Outside a run, Cancel stops a folder scan.
    if (!running_)
        scanner_->cancelAll();
}

void frmMain::escapePressed()
{
    if (running_ || scanner_->active())
        chameleonButton4_Click();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    if (!running_) {
        scanner_->cancelAll();
        saveWindowState();
        event->accept();
        return;
    }
    // Closing is a confirmed cancel: the run stops at its next entry and the
    // window closes once UnPack has returned.
    closeAfterRun_ = true;
    dispatcher().state().CancelRequested = true;
    event->ignore();
}

void frmMain::resetProgressDisplay()
{
    XP_ProgressBar1->setValue(0);
    XP_ProgressBar1->setColor(progress_color_reset);
    Percent->setVisible(false);
}

void frmMain::beginRunMessages()
{
    runBoxes_ = 0;
    runQuiet_ = false;
    runCancelChosen_ = false;
    runCancelledByUser_ = false;
    runHiddenMessages_ = 0;
}

void frmMain::showRunSummary()
{
    RunNotes notes;
    notes.messagesNotShown = runHiddenMessages_;
    notes.cancelledByUser = runCancelledByUser_ || runCancelChosen_;
    if (const std::optional<RunSummary> summary = RunSummaryFor(dispatcher().state().report, notes))
        dialogs_.runSummary(this, *summary);
}

// ---------------------------------------------------------------- window services

void frmMain::set_progress_value(int32_t value) { XP_ProgressBar1->setValue(value); }
void frmMain::set_progress_max(int32_t max) { XP_ProgressBar1->setMax(max); }
void frmMain::set_progress_color(uint32_t rgb) { XP_ProgressBar1->setColor(rgb); }
std::string frmMain::percent_caption() const { return Percent->text().toStdString(); }
void frmMain::set_percent_caption(std::string_view caption) { Percent->setText(fromCore(caption)); }
void frmMain::set_percent_visible(bool visible) { Percent->setVisible(visible); }

void frmMain::set_run_buttons_enabled(bool enabled)
{
    // During a run the window keeps both off until UnPack has returned.
    chameleonButton1->setEnabled(enabled && !running_);
    chameleonButton2->setEnabled(enabled && !running_);
}

int32_t frmMain::contents_row_count() const { return lstInZip->topLevelItemCount(); }
bool frmMain::overwrite_existing_files() const { return Check2->isChecked(); }

void frmMain::yield()
{
    QCoreApplication::processEvents();
    // A close, or "Cancel the run" in a message box, keeps asking the run to
    // stop until it has.
    if ((closeAfterRun_ || runCancelChosen_) && running_ && dispatcher_)
        dispatcher_->state().CancelRequested = true;
}

int32_t frmMain::update_interval_ms() const { return kRunUpdateIntervalMs; }

void frmMain::set_entry_progress(double fraction) { XP_ProgressBar1->setEntryFraction(fraction); }

QString frmMain::defaultTitle() const
{
    // The GZIP and TAR readers' plain boxes carry the program's title too.
    return QString::fromLatin1(kWindowTitle);
}

void frmMain::message_box(std::string_view text, std::string_view title, MessageIcon icon)
{
    const QString t = title.empty() ? defaultTitle() : fromCore(title);
    if (!running_) {
        dialogs_.message(this, fromCore(text), t, icon);
        return;
    }
    // A run's boxes: the first plain, then with the run choices, then none
    // (counted for the end-of-run report).
    switch (RunBoxFor(runBoxes_, runQuiet_)) {
    case RunBoxKind::hidden:
        ++runHiddenMessages_;
        return;
    case RunBoxKind::plain:
        ++runBoxes_;
        dialogs_.message(this, fromCore(text), t, icon);
        return;
    case RunBoxKind::withRunChoices:
        ++runBoxes_;
        switch (dialogs_.runMessage(this, fromCore(text), t, icon)) {
        case RunMessageChoice::ok:
            break;
        case RunMessageChoice::showNoMore:
            runQuiet_ = true;
            break;
        case RunMessageChoice::cancelRun:
            runQuiet_ = true;
            runCancelChosen_ = true;
            dispatcher().state().CancelRequested = true;
            break;
        }
        return;
    }
}

bool frmMain::ask_yes_no(std::string_view text, std::string_view title)
{
    if (closeAfterRun_)
        return true;
    const bool cancelQuestion = running_ && fromCore(text) == QLatin1String(kCancelQuestion);
    // "Cancel the run" was the answer already: no second click.
    if (cancelQuestion && runCancelChosen_) {
        runCancelledByUser_ = true;
        return true;
    }
    const bool yes = dialogs_.askYesNo(this, fromCore(text), title.empty() ? defaultTitle() : fromCore(title));
    if (cancelQuestion && yes)
        runCancelledByUser_ = true;
    return yes;
}

std::string frmMain::input_box(std::string_view prompt, std::string_view title)
{
    // A run the user asked to stop asks nothing more.
    if (running_ && (runCancelChosen_ || closeAfterRun_))
        return {};
    return dialogs_.password(this, fromCore(prompt), title.empty() ? defaultTitle() : fromCore(title))
        .toStdString();
}

// ---------------------------------------------------------------- queue

void frmMain::appendToQueue(const QString& path)
{
    List1->addItem(path);
}

void frmMain::selectQueueRow(int row)
{
    // Selecting the item already selected changes nothing (no queue click).
    if (row < 0 || row >= List1->count())
        return;
    QItemSelectionModel* selection = List1->selectionModel();
    const QModelIndex index = List1->model()->index(row, 0);
    selection->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    // The current item may have been deselected (Ctrl+click): select it again.
    if (!selection->isSelected(index))
        selection->select(index, QItemSelectionModel::ClearAndSelect);
}

void frmMain::selectFirstQueueItem()
{
    selectQueueRow(0);
}

void frmMain::List1_OLEDragDrop(const QStringList& paths)
{
    if (running_)
        return;
    // Dropped folders are scanned on the worker, after any scan still going;
    // dropped archives are taken with or without "Include Sub-Folders".
    scanner_->enqueue(paths, Check3->isChecked());
    scanProgress(scanner_->found());
}

void frmMain::archivesFound(const QStringList& paths)
{
    List1->addItems(paths);
    // The first archive found is shown at once, unless the user has chosen one.
    if (!selectedQueueItem())
        selectFirstQueueItem();
}

void frmMain::scanProgress(qsizetype found)
{
    lblScan->setText(ScanStatusText(found));
    lblScan->setVisible(true);
}

void frmMain::scanFinished()
{
    lblScan->setVisible(false);
}

bool frmMain::GetPastedFileData(QStringList& theFiles) const
{
    const QStringList files = ui::localFilesOf(QGuiApplication::clipboard()->mimeData());
    if (files.isEmpty())
        return false;
    theFiles = files;
    return true;
}

void frmMain::List1_MouseDown(const QPoint& pos, const QPoint& globalPos)
{
    pastefile->setEnabled(false);
    if (running_)
        return;
    if (List1->count() >= 1) {
        const QModelIndex hit = List1->indexAt(pos);
        if (hit.isValid())
            selectQueueRow(hit.row());
    }
    QStringList clip;
    bool clipboardHasArchive = false;
    if (GetPastedFileData(clip)) {
        for (const QString& name : clip) {
            if (ImageFileCheck(name)) {
                clipboardHasArchive = true;
                break;
            }
        }
    }
    const QListWidgetItem* selected = selectedQueueItem();
    const bool selectionEmpty = !selected || selected->text().isEmpty();
    const std::optional<QueueMenuState> state = QueueMenuFor(List1->count(), selectionEmpty, clipboardHasArchive);
    if (!state) {
        mnuRemove->setEnabled(false);
        mnuRemoveAll->setEnabled(false);
        return;
    }
    pastefile->setEnabled(state->paste);
    mnuRemove->setEnabled(state->remove);
    mnuRemoveAll->setEnabled(state->removeAll);
    dialogs_.popupMenu(menu, globalPos);
}

void frmMain::pastefile_Click()
{
    if (running_)
        return;
    QStringList names;
    if (!GetPastedFileData(names))
        return;
    for (const QString& name : names)
        if (ImageFileCheck(name))
            appendToQueue(name);
    selectFirstQueueItem();
}

void frmMain::mnuRemove_Click()
{
    if (running_)
        return;
    if (QListWidgetItem* item = selectedQueueItem()) {
        const QSignalBlocker block(List1);
        delete List1->takeItem(List1->row(item));
        List1->setCurrentRow(-1);
        List1->clearSelection();
    }
    // Selecting the last item shows its contents.
    if (List1->count() > 0)
        selectQueueRow(List1->count() - 1);
    if (List1->count() == 0)
        emptyQueueAftermath();
}

void frmMain::mnuRemoveAll_Click()
{
    if (running_)
        return;
    // A scan still filling the queue would refill it.
    scanner_->cancelAll();
    {
        const QSignalBlocker block(List1);
        List1->clear();
    }
    emptyQueueAftermath();
}

void frmMain::emptyQueueAftermath()
{
    Text1->clear();
    resetProgressDisplay();
    ClearArchiveContents();
}

void frmMain::ucBrowse1_PathChange(const QString& path)
{
    if (running_)
        return;
    // The newest choice wins: whatever an earlier scan still finds is dropped.
    scanner_->cancelAll();
    CurrentArchivePath = path;
    ClearArchiveContents();
    {
        const QSignalBlocker block(List1);
        List1->clear();
    }
    if (!path.isEmpty() && QFileInfo(path).isDir()) {
        scanner_->enqueue({path}, Check3->isChecked());
        scanProgress(0);
    }
    ApplySelectAll();
}

// ---------------------------------------------------------------- output folder

void frmMain::chameleonButton1_Click()
{
    if (running_)
        return;
    QString start = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (start.isEmpty() || !QFileInfo(start).isDir())
        start = QDir::homePath();
    const QString picked = CleanPickedFolder(
        dialogs_.existingFolder(this, QStringLiteral("Velmora Archive Extractor - Please select output folder."), start));
    if (!picked.isEmpty())
        Text2->setText(picked);
}

} // namespace velmora::app
