// Guards what a Linux desktop user expects of the window: its size, place,
// splitters and columns surviving a restart (and not kept with "Save
// Settings" off), a first window that shows all four columns on a 1366x768
// screen, the keyboard (Ctrl+O, F1, Delete, Escape, Return, the Menu key,
// Shift+F10, Tab order), a logo and icon sharp at 2x, the command line's
// rejected arguments named in one box, and the program's title on the plain
// boxes of the GZIP and TAR readers.
#include "AppTestSupport.h"

#include "ui/PictureBox.h"

#include <QHeaderView>
#include <QImage>
#include <QSplitter>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

class WindowDesktopTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowStateSurvivesRestart_data();
    void windowStateSurvivesRestart();
    void firstWindowShowsAllColumns();
    void keyboardCommands();
    void queueMenuFromTheKeyboard_data();
    void queueMenuFromTheKeyboard();
    void escapeAsksToCancelARun();
    void tabOrderFollowsTheLayout();
    void logoAndIconSharpAtTwice();
    void commandLineRejectsNamedOnce();
    void readerBoxesCarryTheProgramTitle();
    void helpPageListsEveryMessage();

private:
    SettingsSandbox store_;
    QScopedPointer<QTemporaryDir> files_;
    ShownWindow shown_;
};

void WindowDesktopTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowDesktopTest::init()
{
    store_.clear();
    files_.reset(new QTemporaryDir);
}

void WindowDesktopTest::cleanup()
{
    shown_.close();
    files_.reset();
}

void WindowDesktopTest::windowStateSurvivesRestart_data()
{
    QTest::addColumn<bool>("saveSettings");
    QTest::newRow("Save Settings on: kept") << true;
    QTest::newRow("Save Settings off: not written") << false;
}

void WindowDesktopTest::windowStateSurvivesRestart()
{
    QFETCH(bool, saveSettings);
    shown_.close();
    QList<int> split;
    QList<int> leftSplit;
    int column = 0;
    QSize size;
    {
        RecordingDialogs dialogs;
        frmMain w(dialogs);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.resize(1010, 610);
        QTRY_COMPARE(w.size(), QSize(1010, 610));
        auto* s = control<QSplitter>(w, "splitter");
        s->setSizes({410, s->width() - 410 - s->handleWidth()});
        auto* l = control<QSplitter>(w, "leftSplitter");
        l->setSizes({150, l->height() - 150 - l->handleWidth()});
        control<QTreeWidget>(w, "lstInZip")->setColumnWidth(2, 133);
        split = s->sizes();
        leftSplit = l->sizes();
        column = 133;
        size = w.size();
        control<QCheckBox>(w, "Check4")->setChecked(saveSettings);
        QVERIFY(w.close());
    }
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    if (saveSettings) {
        QCOMPARE(w.size(), size);
        QCOMPARE(control<QSplitter>(w, "splitter")->sizes(), split);
        QCOMPARE(control<QSplitter>(w, "leftSplitter")->sizes(), leftSplit);
        QCOMPARE(control<QTreeWidget>(w, "lstInZip")->columnWidth(2), column);
    } else {
        QVERIFY(!storedKeyExists(QStringLiteral("windowstate"), QStringLiteral("geometry")));
        QVERIFY(w.size() != size);
    }
}

void WindowDesktopTest::firstWindowShowsAllColumns()
{
    frmMain& w = shown_.window();
    // Room left on a 1366 x 768 screen for a panel and the title bar.
    QVERIFY(w.width() <= 1366 - 100);
    QVERIFY(w.height() <= 768 - 70);
    auto* list = control<QTreeWidget>(w, "lstInZip");
    int columns = 0;
    for (int c = 0; c < 4; ++c)
        columns += list->columnWidth(c);
    QVERIFY2(columns <= list->viewport()->width(),
             qPrintable(QStringLiteral("%1 > %2").arg(columns).arg(list->viewport()->width())));
}

void WindowDesktopTest::keyboardCommands()
{
    frmMain& w = shown_.window();
    RecordingDialogs& dialogs = shown_.dialogs();
    const QString a = files_->path() + QStringLiteral("/a.zip");
    const QString b = files_->path() + QStringLiteral("/b.zip");
    writeFile(a);
    writeFile(b);

    dialogs.openFileAnswers << a << b;
    QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(dialogs.fileDialogTitles, QStringList({"Select a ZIP file to open", "Select a ZIP file to open"}));
    QCOMPARE(queueItems(w), QStringList({a, b}));

    QTest::keyClick(&w, Qt::Key_F1);
    QCOMPARE(dialogs.openedUrls.size(), 1);
    QCOMPARE(QFileInfo(dialogs.openedUrls[0].toLocalFile()).fileName(), QStringLiteral("help.html"));

    // Delete in the queue removes the selected item (b, opened last).
    auto* queue = control<QListWidget>(w, "List1");
    queue->setFocus();
    QTest::keyClick(queue, Qt::Key_Delete);
    QCOMPARE(queueItems(w), QStringList({a}));

    // Return in the output folder box is Start (here: its first check's box).
    auto* text2 = control<QLineEdit>(w, "Text2");
    text2->setFocus();
    QTest::keyClick(text2, Qt::Key_Return);
    QCOMPARE(dialogs.messageTexts(), QStringList({"Please enter output path."}));
}

void WindowDesktopTest::queueMenuFromTheKeyboard_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("Menu key") << int(Qt::Key_Menu) << int(Qt::NoModifier);
    QTest::newRow("Shift+F10") << int(Qt::Key_F10) << int(Qt::ShiftModifier);
}

void WindowDesktopTest::queueMenuFromTheKeyboard()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    frmMain& w = shown_.window();
    RecordingDialogs& dialogs = shown_.dialogs();
    const QString d = files_->path() + QLatin1Char('/');
    for (const char* n : {"1.zip", "2.zip", "3.zip"}) {
        writeFile(d + QString::fromLatin1(n));
        w.openArchivePath(d + QString::fromLatin1(n));
    }
    auto* queue = control<QListWidget>(w, "List1");
    queue->setCurrentRow(1, QItemSelectionModel::ClearAndSelect);
    QTest::keyClick(queue, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(dialogs.popups.size(), 1);
    QCOMPARE(dialogs.popups[0].enabledItems, QStringList({"Delete", "Delete All"}));
    // The menu acts on the item that was selected.
    QCOMPARE(queue->currentRow(), 1);
    QCOMPARE(w.currentArchivePath(), d + "2.zip");
}

void WindowDesktopTest::escapeAsksToCancelARun()
{
    frmMain& w = shown_.window();
    RecordingDialogs& dialogs = shown_.dialogs();
    QTemporaryDir out;
    control<QLineEdit>(w, "Text2")->setText(out.path());
    w.openArchivePath(appFixture("six.zip"));
    auto* percent = control<QLabel>(w, "Percent");
    DuringRun press(w, [&] {
        if (!percent->isVisible())
            return false;
        QTest::keyClick(&w, Qt::Key_Escape);
        return true;
    });
    dialogs.yesNoAnswers.enqueue(true);
    QTest::mouseClick(control<QPushButton>(w, "isButton1"), Qt::LeftButton);
    QVERIFY(press.done());
    QCOMPARE(dialogs.questions.size(), 1);
    QCOMPARE(dialogs.questions[0].text, QStringLiteral("Do you want to cancel?"));
    QVERIFY(!QFileInfo::exists(out.path() + "/three.txt"));
    // Escape while idle asks nothing.
    QTest::keyClick(&w, Qt::Key_Escape);
    QCOMPARE(dialogs.questions.size(), 1);
}

void WindowDesktopTest::tabOrderFollowsTheLayout()
{
    frmMain& w = shown_.window();
    const QStringList expected = {"chameleonButton2", "Text1", "chameleonButton5", "ucBrowse1", "List1", "lstInZip",
                                  "Check1", "Check2", "Check3", "Check4", "Check5", "chameleonButton1", "Text2",
                                  "isButton1", "chameleonButton4"};
    QStringList order;
    QWidget* at = control<QWidget>(w, "chameleonButton2");
    for (int i = 0; i < expected.size(); ++i) {
        order << at->objectName();
        at = at->nextInFocusChain();
        while (at && (at->focusPolicy() & Qt::TabFocus) == 0)
            at = at->nextInFocusChain();
    }
    QCOMPARE(order, expected);
}

void WindowDesktopTest::logoAndIconSharpAtTwice()
{
    const QPixmap one = ui::logoPixmap(40, 1.0);
    const QPixmap two = ui::logoPixmap(40, 2.0);
    QCOMPARE(one.size(), QSize(40, 40));
    QCOMPARE(two.size(), QSize(80, 80));
    QCOMPARE(two.devicePixelRatio(), 2.0);
    // Drawn from the SVG, not blank, and at 2x more than the 1x picture
    // blown up: the edges keep their detail.
    const QImage sharp = two.toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage blown = one.toImage().scaled(80, 80).convertToFormat(QImage::Format_ARGB32);
    int opaque = 0;
    int differ = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            opaque += qAlpha(sharp.pixel(x, y)) > 0;
            differ += sharp.pixel(x, y) != blown.pixel(x, y);
        }
    QVERIFY(opaque > 80 * 80 / 3);
    QVERIFY(differ > 100);
    // The window icon holds sizes up to 256.
    const QIcon icon = shown_.window().windowIcon();
    QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
    QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
}

void WindowDesktopTest::commandLineRejectsNamedOnce()
{
    frmMain& w = shown_.window();
    RecordingDialogs& dialogs = shown_.dialogs();
    const QString a = files_->path() + QStringLiteral("/a.zip");
    const QString b = files_->path() + QStringLiteral("/b.zip");
    writeFile(a);
    writeFile(b);
    const CommandLine c = ParseCommandLine({QStringLiteral("velmora"), a, files_->path(), b,
                                            files_->path() + QStringLiteral("/gone.zip")});
    w.openCommandLine(c.files, c.rejected);
    QCOMPARE(queueItems(w), QStringList({a, b}));
    QCOMPARE(w.currentArchivePath(), a); // the first one named is listed
    QCOMPARE(dialogs.messages.size(), 1);
    QVERIFY(dialogs.messages[0].text.contains(files_->path() + QStringLiteral("/gone.zip")));
    QVERIFY(dialogs.messages[0].text.contains(files_->path() + QLatin1Char('\n')));
    QCOMPARE(dialogs.messages[0].title, QStringLiteral("Velmora Archive Extractor 1.0"));
}

void WindowDesktopTest::readerBoxesCarryTheProgramTitle()
{
    // The GZIP and TAR readers ask for the default title.
    shown_.window().message_box("error writing file", "", MessageIcon::none);
    QCOMPARE(shown_.dialogs().messages.size(), 1);
    QCOMPARE(shown_.dialogs().messages[0].title, QStringLiteral("Velmora Archive Extractor 1.0"));
}

void WindowDesktopTest::helpPageListsEveryMessage()
{
    QFile page(frmMain::helpPageUrl().toLocalFile());
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString help = QString::fromUtf8(page.readAll());
    QStringList texts;
    for (StartOutcome o : {StartOutcome::openArchiveFirst, StartOutcome::enterOutputPath,
                           StartOutcome::invalidOutputPath, StartOutcome::corruptArchive,
                           StartOutcome::selectAtLeastOne})
        texts << StartMessage(o)->text;
    texts << QString::fromLatin1(kCancelQuestion) << QString::fromLatin1(kShowNoMoreMessages)
          << QString::fromLatin1(kCancelTheRun) << QStringLiteral("Please enter Password.")
          << QStringLiteral("Invalid Password.") << QStringLiteral("Error in Zip File.")
          << QStringLiteral("does not exist. Do you want to create it?")
          << QStringLiteral("was not put in the queue")
          << QStringLiteral("entries were extracted.")
          << QStringLiteral("use a compression method this program cannot extract")
          << QStringLiteral("but cannot extract them yet")
          << QStringLiteral("not reached because the run ended early.")
          << QStringLiteral("could not be written to the output folder.");
    for (const QString& t : texts)
        QVERIFY2(help.contains(t.section(QLatin1Char('\n'), -1)), qPrintable(t));
}

QTEST_MAIN(WindowDesktopTest)
#include "window_desktop_test.moc"
