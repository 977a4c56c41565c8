// Guards the queue's commands: which dropped, pasted or folder-tree files it
// takes and in what order, the right-click menu states, Delete and Delete All
// resetting the display, the Open command (the opened archive is the one
// listed), the selection (not the current item) deciding what is shown, the
// output-folder picker and the two web-page commands.
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include "support/TestSupport.h"
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
    void dropTakesArchiveNamesInAnyCase();
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
    void openOfBListsB();
    void deselectedItemIsNotTheSelection();
    void extractToPicker();
    void helpAndLogoOpenPages();

private:
    void drop(QStringList paths);
    void rightClick(int row);
    void setClipboardFiles(const QStringList& paths);

    SettingsSandbox store_;
    QScopedPointer<QTemporaryDir> files_;
    ShownWindow shown_;
    RecordingDialogs* dialogs_ = nullptr;
    frmMain* window_ = nullptr;
};

void WindowQueueTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowQueueTest::init()
{
    store_.clear();
    QGuiApplication::clipboard()->clear();
    files_.reset(new QTemporaryDir);
    QVERIFY(shown_.open());
    dialogs_ = &shown_.dialogs();
    window_ = &shown_.window();
}

void WindowQueueTest::cleanup()
{
    shown_.close();
    window_ = nullptr;
    dialogs_ = nullptr;
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
    // The drop is handled once the event has returned, its folders on the
    // scanner's worker.
    QCoreApplication::processEvents();
    QTRY_VERIFY(!window_->scanActive());
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

void WindowQueueTest::dropTakesArchiveNamesInAnyCase()
{
    const QString d = files_->path() + QLatin1Char('/');
    QStringList dropped;
    for (const char* n : {"a.zip", "b.ZIP", "c.Zip", "d.txt", "e.tar.GZ", "f.Lzh", "backupzip"}) {
        writeFile(d + QString::fromLatin1(n));
        dropped << d + QString::fromLatin1(n);
    }
    dropped << d + QStringLiteral("missing.zip"); // neither file nor folder
    drop(dropped);
    // The Open dialog's list of endings, any case; a name must have the dot.
    QCOMPARE(queueItems(*window_), QStringList({d + "a.zip", d + "b.ZIP", d + "c.Zip", d + "e.tar.GZ", d + "f.Lzh"}));
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
    QTest::newRow("empty queue, no archive on the clipboard") << 0 << QStringList{"x.txt"} << false << none;
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
    QTRY_VERIFY(!window_->scanActive());
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
    QTRY_VERIFY(!window_->scanActive());
    QCOMPARE(queueItems(*window_), QStringList({d + ".c.zip", d + "a.ZIP", d + "b.zip"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 0);

    control<QCheckBox>(*window_, "Check3")->setChecked(true);
    QVERIFY(tree->setPath(files_->path()));
    QVERIFY(tree->setPath(files_->path() + QStringLiteral("/tree")));
    QTRY_VERIFY(!window_->scanActive());
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
    QCOMPARE(caption(open), QStringLiteral("Open ZIP Archive"));
    dialogs_->openFileAnswers << d + "first.zip" << d + "second.ZIP" << d + "first.zip" << QString();
    QTest::mouseClick(open, Qt::LeftButton);
    QCOMPARE(dialogs_->fileDialogTitles.last(), QStringLiteral("Select a ZIP file to open"));
    QCOMPARE(dialogs_->lastFilters.first(), QStringLiteral("ZIP File (*.zip)"));
    QTest::mouseClick(open, Qt::LeftButton);
    QTest::mouseClick(open, Qt::LeftButton);
    // No duplicate test; the archive opened last is selected and shown.
    QCOMPARE(queueItems(*window_), QStringList({d + "first.zip", d + "second.ZIP", d + "first.zip"}));
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 2);
    QVERIFY(control<QListWidget>(*window_, "List1")->item(2)->isSelected());
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
    QCOMPARE(caption(button), QStringLiteral("Extract To..."));
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
    // The tool tip says what the button does: it opens the local help page.
    QCOMPARE(control<QPushButton>(*window_, "chameleonButton5")->toolTip(), QStringLiteral("Open the help page (F1)"));
}

void WindowQueueTest::openOfBListsB()
{
    const QString a = QString::fromStdString((velmora::test::data_dir() / "app" / "six.zip").string());
    const QString b = QString::fromStdString((velmora::test::data_dir() / "app" / "secret.zip").string());
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    auto* queue = control<QListWidget>(*window_, "List1");
    dialogs_->openFileAnswers << a << b;
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    QCOMPARE(list->topLevelItemCount(), 6);
    list->topLevelItem(2)->setCheckState(0, Qt::Unchecked); // the user's choice in A

    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    // Text1, the selection, the list and the loaded archive all name B.
    QCOMPARE(control<QLineEdit>(*window_, "Text1")->text(), b);
    QCOMPARE(queue->selectedItems().size(), 1);
    QCOMPARE(queue->selectedItems().first()->text(), b);
    QCOMPARE(window_->currentArchivePath(), b);
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("+secret.txt"));
    QCOMPARE(window_->dispatcher().FileName(1), std::string("secret.txt"));

    // Back to A by the user's click: A is listed afresh.
    QTest::mouseClick(queue->viewport(), Qt::LeftButton, Qt::NoModifier, queue->visualItemRect(queue->item(0)).center());
    QCOMPARE(window_->currentArchivePath(), a);
    QCOMPARE(list->topLevelItemCount(), 6);
}

void WindowQueueTest::deselectedItemIsNotTheSelection()
{
    const QString d = files_->path() + QLatin1Char('/');
    for (const char* n : {"1.zip", "2.zip"})
        writeFile(d + QString::fromLatin1(n));
    drop({d + "1.zip", d + "2.zip"});
    auto* queue = control<QListWidget>(*window_, "List1");
    const QPoint second = queue->visualItemRect(queue->item(1)).center();
    QTest::mouseClick(queue->viewport(), Qt::LeftButton, Qt::NoModifier, second);
    QCOMPARE(window_->currentArchivePath(), d + "2.zip");
    // Ctrl+click takes the selection away; the item stays the current one.
    QTest::mouseClick(queue->viewport(), Qt::LeftButton, Qt::ControlModifier, second);
    QCOMPARE(queue->currentRow(), 1);
    QVERIFY(queue->selectedItems().isEmpty());
    // With nothing selected the right-click menu offers nothing to delete.
    QTest::mousePress(queue->viewport(), Qt::RightButton, Qt::NoModifier, QPoint(5, queue->viewport()->height() - 3));
    QVERIFY2(dialogs_->popups.isEmpty(), qPrintable(dialogs_->popups.value(0).enabledItems.join(',')));
    // Delete removes the selected item: there is none; then the last item is
    // selected and shown.
    QTest::keyClick(queue, Qt::Key_Delete);
    QCOMPARE(queueItems(*window_), QStringList({d + "1.zip", d + "2.zip"}));
    QCOMPARE(queue->selectedItems().size(), 1);
    QCOMPARE(window_->currentArchivePath(), d + "2.zip");
}

QTEST_MAIN(WindowQueueTest)
#include "window_queue_test.moc"
