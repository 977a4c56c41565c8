// Guards the queue's commands: which dropped, pasted or folder-tree files it
// takes and in what order, the right-click menu states, Delete and Delete All
// resetting the display, the Open command, the output-folder picker and the
// two web-page commands.
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include "ui/XP_ProgressBar.h"
#include "ui/ucBrowse.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QStandardPaths>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

class WindowQueueTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dropTakesOnlyZipEndings();
    void dropFolderWithoutSubFolders();
    void dropFolderWithSubFolders();
    void dropTwoFoldersAndRepeats();
    void rightClickMenuStates_data();
    void rightClickMenuStates();
    void rightClickSelectsItemUnderPointer();
    void deleteOnlyItemResetsDisplay();
    void deleteSelectsLastItem();
    void deleteAllEmptiesQueue();
    void pasteAppendsArchiveNames();
    void folderTreeEmptyFolder();
    void folderTreeFolderWithArchives();
    void folderTreeFocusIsNoChoice();
    void openCommand();
    void extractToPicker();
    void helpAndLogoOpenPages();

private:
    void drop(QStringList paths);
    void rightClick(int row);
    void setClipboardFiles(const QStringList& paths);

    QTemporaryDir store_;
    QScopedPointer<QTemporaryDir> files_;
    QScopedPointer<RecordingDialogs> dialogs_;
    QScopedPointer<frmMain> window_;
};

void WindowQueueTest::initTestCase()
{
    QVERIFY(store_.isValid());
    useSettingsFolder(store_.path());
}

void WindowQueueTest::init()
{
    QSettings s(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("velmora"), QStringLiteral("velmora"));
    s.clear();
    s.sync();
    QGuiApplication::clipboard()->clear();
    files_.reset(new QTemporaryDir);
    dialogs_.reset(new RecordingDialogs);
    window_.reset(new frmMain(*dialogs_));
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
}

void WindowQueueTest::cleanup()
{
    window_.reset();
    dialogs_.reset();
    files_.reset();
}

void WindowQueueTest::drop(QStringList paths)
{
    auto* list = control<QListWidget>(*window_, "List1");
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls.append(QUrl::fromLocalFile(p));
    mime.setUrls(urls);
    const QPoint at = list->viewport()->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent dropEvent(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(list->viewport(), &dropEvent);
    QVERIFY(dropEvent.isAccepted());
    // The drop is handled once the event has returned.
    QCoreApplication::processEvents();
}

void WindowQueueTest::rightClick(int row)
{
    auto* list = control<QListWidget>(*window_, "List1");
    QPoint at;
    if (row >= 0 && row < list->count())
        at = list->visualItemRect(list->item(row)).center();
    else
        at = QPoint(5, list->viewport()->height() - 3); // below every item
    QTest::mousePress(list->viewport(), Qt::RightButton, Qt::NoModifier, at);
}

void WindowQueueTest::setClipboardFiles(const QStringList& paths)
{
    auto* mime = new QMimeData;
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls.append(QUrl::fromLocalFile(p));
    mime->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(mime);
}

void WindowQueueTest::dropTakesOnlyZipEndings()
{
    const QString d = files_->path() + QLatin1Char('/');
    QStringList dropped;
    for (const char* n : {"a.zip", "b.ZIP", "c.Zip", "d.txt"}) {
        writeFile(d + QString::fromLatin1(n));
        dropped << d + QString::fromLatin1(n);
    }
    dropped << d + QStringLiteral("missing.zip"); // neither file nor folder
    drop(dropped);
    QCOMPARE(queueItems(*window_), QStringList({d + "a.zip", d + "b.ZIP"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 0);
    QCOMPARE(window_->currentArchivePath(), d + "a.zip");
}

void WindowQueueTest::dropFolderWithoutSubFolders()
{
    const QString d = files_->path() + QStringLiteral("/in/");
    for (const char* n : {"y.zip", "x.zip", ".h.zip", "n.txt", "sub/z.zip"})
        writeFile(d + QString::fromLatin1(n));
    drop({files_->path() + QStringLiteral("/in")});
    // Only the folder's own files; hidden ones too.
    QCOMPARE(queueItems(*window_), QStringList({d + ".h.zip", d + "x.zip", d + "y.zip"}));
}

void WindowQueueTest::dropFolderWithSubFolders()
{
    control<QCheckBox>(*window_, "Check3")->setChecked(true);
    const QString d = files_->path() + QStringLiteral("/in/");
    for (const char* n : {"y.zip", "x.zip", ".h.zip", "b/z.zip", "a/w.ZIP", "a/deep/v.zip", ".hid/u.zip"})
        writeFile(d + QString::fromLatin1(n));
    writeFile(files_->path() + QStringLiteral("/loose.zip"));
    drop({files_->path() + QStringLiteral("/in"), files_->path() + QStringLiteral("/loose.zip")});
    // The folder's files first, then each sub-folder depth-first; hidden names
    // are left out of the scan. A dropped archive is taken as well.
    QCOMPARE(queueItems(*window_), QStringList({d + "x.zip", d + "y.zip", d + "a/w.ZIP", d + "a/deep/v.zip",
                                                d + "b/z.zip", files_->path() + "/loose.zip"}));
}

void WindowQueueTest::dropTwoFoldersAndRepeats()
{
    control<QCheckBox>(*window_, "Check3")->setChecked(true);
    const QString one = files_->path() + QStringLiteral("/one/");
    const QString two = files_->path() + QStringLiteral("/two/");
    writeFile(one + "a.zip");
    writeFile(two + "b.zip");
    drop({two, one});
    QCOMPARE(queueItems(*window_), QStringList({two + "b.zip", one + "a.zip"}));
    control<QCheckBox>(*window_, "Check3")->setChecked(false);
    drop({one + "a.zip", one + "a.zip"});
    QCOMPARE(queueItems(*window_), QStringList({two + "b.zip", one + "a.zip", one + "a.zip", one + "a.zip"}));
    // The first item stays the selected one.
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 0);
}

void WindowQueueTest::rightClickMenuStates_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<QStringList>("clipboard");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QStringList>("enabled");
    const QStringList none;
    QTest::newRow("one item, x.zip on the clipboard") << 1 << QStringList{"x.zip"} << true
                                                      << QStringList{"Paste", "Delete"};
    QTest::newRow("two items, x.zip on the clipboard") << 2 << QStringList{"x.txt", "x.zip"} << true
                                                       << QStringList{"Paste", "Delete", "Delete All"};
    QTest::newRow("empty queue, x.zip on the clipboard") << 0 << QStringList{"x.zip"} << true
                                                         << QStringList{"Paste"};
    QTest::newRow("empty queue, empty clipboard") << 0 << none << false << none;
    QTest::newRow("empty queue, no archive on the clipboard") << 0 << QStringList{"x.Zip"} << false << none;
    QTest::newRow("one item, no clipboard") << 1 << none << true << QStringList{"Delete"};
    QTest::newRow("three items, no clipboard") << 3 << none << true << QStringList{"Delete", "Delete All"};
}

void WindowQueueTest::rightClickMenuStates()
{
    QFETCH(int, items);
    QFETCH(QStringList, clipboard);
    QFETCH(bool, shown);
    QFETCH(QStringList, enabled);
    const QString d = files_->path() + QLatin1Char('/');
    QStringList paths;
    for (int i = 0; i < items; ++i) {
        paths << d + QStringLiteral("q%1.zip").arg(i);
        writeFile(paths.back());
    }
    if (!paths.isEmpty())
        drop(paths);
    QStringList clip;
    for (const QString& n : clipboard)
        clip << d + n;
    if (!clip.isEmpty())
        setClipboardFiles(clip);
    rightClick(0);
    QCOMPARE(dialogs_->popups.size(), shown ? 1 : 0);
    if (shown) {
        QCOMPARE(dialogs_->popups.first().menuTitle, QStringLiteral("Menu"));
        QCOMPARE(dialogs_->popups.first().enabledItems, enabled);
    }
}

void WindowQueueTest::rightClickSelectsItemUnderPointer()
{
    const QString d = files_->path() + QLatin1Char('/');
    for (const char* n : {"1.zip", "2.zip", "3.zip"})
        writeFile(d + QString::fromLatin1(n));
    drop({d + "1.zip", d + "2.zip", d + "3.zip"});
    auto* list = control<QListWidget>(*window_, "List1");
    rightClick(1);
    QCOMPARE(list->currentRow(), 1);
    QCOMPARE(window_->currentArchivePath(), d + "2.zip");
    rightClick(-1);
    QCOMPARE(list->currentRow(), 1);
    QCOMPARE(dialogs_->popups.size(), 2);
}

void WindowQueueTest::deleteOnlyItemResetsDisplay()
{
    const QString a = files_->path() + QStringLiteral("/a.zip");
    writeFile(a);
    dialogs_->openFileAnswers.enqueue(a);
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    QCOMPARE(control<QLineEdit>(*window_, "Text1")->text(), a);
    // What a finished run leaves behind.
    window_->set_progress_max(4);
    window_->set_progress_value(4);
    window_->set_progress_color(progress_color_running);
    window_->set_percent_caption("100%");
    window_->set_percent_visible(true);

    rightClick(0);
    control<QAction>(*window_, "mnuRemove")->trigger();
    QVERIFY(queueItems(*window_).isEmpty());
    QVERIFY(control<QLineEdit>(*window_, "Text1")->text().isEmpty());
    QCOMPARE(control<QTreeWidget>(*window_, "lstInZip")->topLevelItemCount(), 0);
    auto* bar = control<ui::XP_ProgressBar>(*window_, "XP_ProgressBar1");
    QCOMPARE(bar->Value(), 0);
    QCOMPARE(bar->Color(), progress_color_reset);
    QVERIFY(!control<QLabel>(*window_, "Percent")->isVisible());
}

void WindowQueueTest::deleteSelectsLastItem()
{
    const QString d = files_->path() + QLatin1Char('/');
    for (const char* n : {"1.zip", "2.zip", "3.zip"})
        writeFile(d + QString::fromLatin1(n));
    drop({d + "1.zip", d + "2.zip", d + "3.zip"});
    window_->set_percent_visible(true);
    rightClick(0);
    control<QAction>(*window_, "mnuRemove")->trigger();
    QCOMPARE(queueItems(*window_), QStringList({d + "2.zip", d + "3.zip"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 1);
    QCOMPARE(window_->currentArchivePath(), d + "3.zip");
    // A queue that is not empty keeps the progress display.
    QVERIFY(control<QLabel>(*window_, "Percent")->isVisible());
}

void WindowQueueTest::deleteAllEmptiesQueue()
{
    const QString d = files_->path() + QLatin1Char('/');
    writeFile(d + "1.zip");
    writeFile(d + "2.zip");
    dialogs_->openFileAnswers.enqueue(d + "1.zip");
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    drop({d + "2.zip"});
    window_->set_progress_value(7);
    rightClick(1);
    control<QAction>(*window_, "mnuRemoveAll")->trigger();
    QVERIFY(queueItems(*window_).isEmpty());
    QVERIFY(control<QLineEdit>(*window_, "Text1")->text().isEmpty());
    QCOMPARE(control<ui::XP_ProgressBar>(*window_, "XP_ProgressBar1")->Value(), 0);
}

void WindowQueueTest::pasteAppendsArchiveNames()
{
    const QString d = files_->path() + QLatin1Char('/');
    writeFile(d + "a.zip");
    auto* mime = new QMimeData;
    mime->setData(QStringLiteral("x-special/gnome-copied-files"),
                  QStringLiteral("copy\n%1\n%2\n%3")
                      .arg(QUrl::fromLocalFile(d + "a.zip").toString(QUrl::FullyEncoded),
                           QUrl::fromLocalFile(d + "b.txt").toString(QUrl::FullyEncoded),
                           QUrl::fromLocalFile(d + "c d.ZIP").toString(QUrl::FullyEncoded))
                      .toUtf8());
    QGuiApplication::clipboard()->setMimeData(mime);
    rightClick(0);
    QCOMPARE(dialogs_->popups.size(), 1);
    control<QAction>(*window_, "pastefile")->trigger();
    // Names are taken as they are; existence is not asked.
    QCOMPARE(queueItems(*window_), QStringList({d + "a.zip", d + "c d.ZIP"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 0);
}

void WindowQueueTest::folderTreeEmptyFolder()
{
    const QString d = files_->path() + QLatin1Char('/');
    writeFile(d + "a.zip");
    dialogs_->openFileAnswers.enqueue(d + "a.zip");
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    QDir().mkpath(d + "empty");
    QVERIFY(control<ui::ucBrowse>(*window_, "ucBrowse1")->setPath(d + "empty"));
    QVERIFY(queueItems(*window_).isEmpty());
    QCOMPARE(control<QTreeWidget>(*window_, "lstInZip")->topLevelItemCount(), 0);
    QCOMPARE(window_->currentArchivePath(), d + "empty/");
    // Text1 is not touched by the folder tree.
    QCOMPARE(control<QLineEdit>(*window_, "Text1")->text(), d + "a.zip");

    // Start with Text1 set, an existing output folder and nothing listed does
    // nothing but restore the buttons: no message.
    control<QLineEdit>(*window_, "Text2")->setText(files_->path());
    QTest::mouseClick(control<QPushButton>(*window_, "isButton1"), Qt::LeftButton);
    QVERIFY(dialogs_->messages.isEmpty());
    QVERIFY(control<QPushButton>(*window_, "chameleonButton1")->isEnabled());
    QVERIFY(control<QPushButton>(*window_, "chameleonButton2")->isEnabled());
}

void WindowQueueTest::folderTreeFolderWithArchives()
{
    const QString d = files_->path() + QStringLiteral("/tree/");
    for (const char* n : {"b.zip", "a.ZIP", ".c.zip", "s/d.zip", "x.txt"})
        writeFile(d + QString::fromLatin1(n));
    auto* tree = control<ui::ucBrowse>(*window_, "ucBrowse1");
    QVERIFY(tree->setPath(files_->path() + QStringLiteral("/tree")));
    QCOMPARE(tree->path(), d);
    QCOMPARE(queueItems(*window_), QStringList({d + ".c.zip", d + "a.ZIP", d + "b.zip"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 0);

    control<QCheckBox>(*window_, "Check3")->setChecked(true);
    QVERIFY(tree->setPath(files_->path()));
    QVERIFY(tree->setPath(files_->path() + QStringLiteral("/tree")));
    QCOMPARE(queueItems(*window_), QStringList({d + "a.ZIP", d + "b.zip", d + "s/d.zip"}));
}

void WindowQueueTest::folderTreeFocusIsNoChoice()
{
    const QString a = files_->path() + QStringLiteral("/a.zip");
    writeFile(a);
    drop({a});
    auto* tree = control<ui::ucBrowse>(*window_, "ucBrowse1");
    window_->activateWindow();
    tree->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(tree->hasFocus());
    QCoreApplication::processEvents();
    // Tabbing into the tree picks no folder: the queue stays as it was.
    QCOMPARE(queueItems(*window_), QStringList({a}));
    QVERIFY(tree->path().isEmpty());
}

void WindowQueueTest::openCommand()
{
    const QString d = files_->path() + QLatin1Char('/');
    writeFile(d + "first.zip");
    writeFile(d + "second.ZIP");
    auto* open = control<QPushButton>(*window_, "chameleonButton2");
    QCOMPARE(open->text(), QStringLiteral("Open ZIP Archive"));
    dialogs_->openFileAnswers << d + "first.zip" << d + "second.ZIP" << d + "first.zip" << QString();
    QTest::mouseClick(open, Qt::LeftButton);
    QCOMPARE(dialogs_->fileDialogTitles.last(), QStringLiteral("Select a ZIP file to open"));
    QCOMPARE(dialogs_->lastFilters.first(), QStringLiteral("ZIP File (*.zip)"));
    QTest::mouseClick(open, Qt::LeftButton);
    QTest::mouseClick(open, Qt::LeftButton);
    // No duplicate test; the first archive stays selected and shown.
    QCOMPARE(queueItems(*window_), QStringList({d + "first.zip", d + "second.ZIP", d + "first.zip"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 0);
    QCOMPARE(control<QLineEdit>(*window_, "Text1")->text(), d + "first.zip");
    // Cancelled: Text1 emptied, queue unchanged.
    QTest::mouseClick(open, Qt::LeftButton);
    QVERIFY(control<QLineEdit>(*window_, "Text1")->text().isEmpty());
    QCOMPARE(queueItems(*window_).size(), 3);
}

void WindowQueueTest::extractToPicker()
{
    auto* text2 = control<QLineEdit>(*window_, "Text2");
    auto* button = control<QPushButton>(*window_, "chameleonButton1");
    QCOMPARE(button->text(), QStringLiteral("Extract To..."));
    text2->setText(QStringLiteral("/typed"));
    dialogs_->folderAnswers << QString() << files_->path() + QStringLiteral("/") << QStringLiteral("/");
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(text2->text(), QStringLiteral("/typed")); // cancelled
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(text2->text(), files_->path());
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(text2->text(), QStringLiteral("/"));
    QCOMPARE(dialogs_->fileDialogTitles.last(),
             QStringLiteral("Velmora Archive Extractor - Please select output folder."));
    // The Documents folder (home where there is none), every time.
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!QFileInfo(documents).isDir())
        documents = QDir::homePath();
    QCOMPARE(dialogs_->folderStarts, QStringList({documents, documents, documents}));
}

void WindowQueueTest::helpAndLogoOpenPages()
{
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton5"), Qt::LeftButton);
    QTest::mouseClick(control<QWidget>(*window_, "Image2"), Qt::LeftButton);
    QCOMPARE(dialogs_->openedUrls.size(), 2);
    const QUrl help = dialogs_->openedUrls[0];
    QVERIFY(help.isLocalFile());
    QCOMPARE(QFileInfo(help.toLocalFile()).fileName(), QStringLiteral("help.html"));
    QVERIFY(QFileInfo(help.toLocalFile()).isFile());
    QCOMPARE(dialogs_->openedUrls[1].fragment(), QStringLiteral("about"));
    QCOMPARE(dialogs_->openedUrls[1].adjusted(QUrl::RemoveFragment), help);
    QCOMPARE(control<QPushButton>(*window_, "chameleonButton5")->toolTip(), QStringLiteral("Online Help"));
}

QTEST_MAIN(WindowQueueTest)
#include "window_queue_test.moc"
