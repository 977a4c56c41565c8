// Guards the window against saying "done" when nothing was done and against
// burying the user under boxes: rows that cannot be extracted are greyed with
// the reason, a run that left entries out ends with one report box, a storm of
// per-entry failures needs at most three clicks, a run starts from a clean
// progress display, a GZIP run shows progress and can be cancelled, and a
// missing output folder is offered to be made.
#include "AppTestSupport.h"

#include "ui/XP_ProgressBar.h"

#include <QPalette>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

namespace {

// A ZIP of `count` stored entries named sub/fNNNN.txt, made with python3.
bool makeManyEntryZip(const QString& zip, int count)
{
    const std::string script =
        "import zipfile,sys\n"
        "with zipfile.ZipFile(sys.argv[1],'w') as z:\n"
        "  for i in range(int(sys.argv[2])):\n"
        "    z.writestr(zipfile.ZipInfo('sub/f%04d.txt' % i, date_time=(2020,1,1,0,0,0)), b'%d' % i)\n";
    const QString py = QFileInfo(zip).absolutePath() + QStringLiteral("/make.py");
    QFile f(py);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(script.c_str());
    f.close();
    return velmora::test::run_command("python3 " + velmora::test::shell_quote(py.toStdString()) + " "
                                      + velmora::test::shell_quote(zip.toStdString()) + " " + std::to_string(count))
           == 0;
}

bool greyed(const QTreeWidget* list, int row)
{
    const QColor disabled = list->palette().color(QPalette::Disabled, QPalette::Text);
    return list->topLevelItem(row)->foreground(0).color() == disabled;
}

} // namespace

class WindowRunReportTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void everyListedFormatExtracts_data();
    void everyListedFormatExtracts();
    void unsupportedMethodsGreyedAndReported();
    void wholeRunStaysQuiet();
    void messageStormNeedsThreeClicks_data();
    void messageStormNeedsThreeClicks();
    void runStartsFromACleanDisplay();
    void gzipRunShowsProgressAndCancels();
    void missingOutputFolderOffered_data();
    void missingOutputFolderOffered();

private:
    void clickStart() { QTest::mouseClick(control<QPushButton>(*window_, "isButton1"), Qt::LeftButton); }

    SettingsSandbox store_;
    QScopedPointer<QTemporaryDir> out_;
    ShownWindow shown_;
    RecordingDialogs* dialogs_ = nullptr;
    frmMain* window_ = nullptr;
};

void WindowRunReportTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowRunReportTest::init()
{
    store_.clear();
    out_.reset(new QTemporaryDir);
    QVERIFY(shown_.open());
    dialogs_ = &shown_.dialogs();
    window_ = &shown_.window();
    control<QLineEdit>(*window_, "Text2")->setText(out_->path());
}

void WindowRunReportTest::cleanup()
{
    shown_.close();
    window_ = nullptr;
    dialogs_ = nullptr;
    out_.reset();
}

void WindowRunReportTest::everyListedFormatExtracts_data()
{
    QTest::addColumn<QString>("archive");
    QTest::newRow("RAR 1.5") << appFixture("rar15_sharpcompress.rar", "rar");
    QTest::newRow("RAR 5") << appFixture("rar5_multiple_files.rar", "rar");
    QTest::newRow("CAB") << appFixture("gcab-stored.cab", "cab");
    QTest::newRow("LZH") << appFixture("level2.lzh", "lzh");
    QTest::newRow("ARJ") << appFixture("dos.arj", "arj");
    QTest::newRow("ARC") << appFixture("default.arc", "arc");
}

void WindowRunReportTest::everyListedFormatExtracts()
{
    // No format is listed without being extracted: no row is greyed, and a
    // run over every entry ends quietly with every file written.
    QFETCH(QString, archive);
    window_->openArchivePath(archive);
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    const int rows = list->topLevelItemCount();
    QVERIFY(rows > 0);
    for (int r = 0; r < rows; ++r) {
        QVERIFY2(!greyed(list, r), qPrintable(list->topLevelItem(r)->toolTip(0)));
        QCOMPARE(list->topLevelItem(r)->checkState(0), Qt::Checked);
    }
    clickStart();
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    QVERIFY(window_->dispatcher().state().report.all_extracted());
    QVERIFY(!QDir(out_->path()).isEmpty());
}

void WindowRunReportTest::unsupportedMethodsGreyedAndReported()
{
    // methods.zip: plain.txt (Deflate), tokenized-a.txt (Tokenizing), dcl.txt (PKWARE DCL
    // Implode), tokenized-b.txt (Tokenizing).
    window_->openArchivePath(appFixture("methods.zip"));
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    QCOMPARE(list->topLevelItemCount(), 4);
    clickStart();
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    QVERIFY(QFileInfo(out_->path() + "/plain.txt").isFile());
    QVERIFY(!QFileInfo::exists(out_->path() + "/tokenized-a.txt"));
    if (!readersRecordOutcomes(window_->dispatcher().state().report))
        QSKIP("needs the ZIP reader to record each entry's outcome (core)");
    QCOMPARE(dialogs_->summaries.size(), 1);
    QCOMPARE(dialogs_->summaries[0].text,
             QStringLiteral("1 of 4 entries were extracted.\n"
                            "3 entries use a compression method this program cannot extract: Tokenized (2), PKWARE Imploding (1)."));
    // The listing already tells: the three rows are greyed with the method.
    if (!window_->dispatcher().extract_blocker(2))
        QSKIP("needs the ZIP reader to tell what blocks an entry (core)");
    QVERIFY(!greyed(list, 0));
    QVERIFY(list->topLevelItem(0)->toolTip(0).isEmpty());
    for (int r : {1, 2, 3})
        QVERIFY(greyed(list, r));
    QCOMPARE(list->topLevelItem(1)->toolTip(0), QStringLiteral("Packed with Tokenized, a method this program cannot extract."));
    QCOMPARE(list->topLevelItem(2)->toolTip(0), QStringLiteral("Packed with PKWARE Imploding, a method this program cannot extract."));
}

void WindowRunReportTest::wholeRunStaysQuiet()
{
    window_->openArchivePath(appFixture("six.zip"));
    clickStart();
    QVERIFY(QFileInfo(out_->path() + "/three.txt").isFile());
    if (!readersRecordOutcomes(window_->dispatcher().state().report))
        QSKIP("needs the ZIP reader to record each entry's outcome (core)");
    QVERIFY(window_->dispatcher().state().report.all_extracted());
    QCOMPARE(dialogs_->clicks(), 0);
}

void WindowRunReportTest::messageStormNeedsThreeClicks_data()
{
    QTest::addColumn<int>("choice");
    QTest::newRow("show no more messages") << int(RunMessageChoice::showNoMore);
    QTest::newRow("cancel the run") << int(RunMessageChoice::cancelRun);
    QTest::newRow("OK, then no more") << -1;
}

void WindowRunReportTest::messageStormNeedsThreeClicks()
{
    QFETCH(int, choice);
    if (!velmora::test::have_tool("python3"))
        QSKIP("python3 is needed to build the archive");
    QTemporaryDir work;
    const QString zip = work.path() + QStringLiteral("/storm.zip");
    QVERIFY(makeManyEntryZip(zip, 1000));
    // A file where the entries' folder should go: every entry fails to be
    // written, for root too (a read-only folder would not stop root).
    writeFile(out_->path() + QStringLiteral("/sub"), "in the way");
    window_->openArchivePath(zip);
    QCOMPARE(control<QTreeWidget>(*window_, "lstInZip")->topLevelItemCount(), 1000);

    if (choice >= 0) {
        dialogs_->runMessageAnswers.enqueue(RunMessageChoice(choice));
    } else {
        dialogs_->runMessageAnswers.enqueue(RunMessageChoice::ok);
        dialogs_->runMessageAnswers.enqueue(RunMessageChoice::showNoMore);
    }
    clickStart();
    QVERIFY(!window_->runActive());
    // One plain box, then the box with the run's choices.
    QCOMPARE(dialogs_->messages.size(), 1);
    QCOMPARE(dialogs_->runMessages.size(), choice >= 0 ? 1 : 2);
    QCOMPARE(dialogs_->runMessages[0].text, dialogs_->messages[0].text);
    // "Cancel the run" is the answer to the cancel question too.
    QVERIFY(dialogs_->questions.isEmpty());
    QVERIFY(dialogs_->prompts.isEmpty());
    QVERIFY2(dialogs_->clicks() <= (choice >= 0 ? 3 : 4), qPrintable(QString::number(dialogs_->clicks())));
    if (choice != int(RunMessageChoice::cancelRun)) {
        // Every other message was counted for the report.
        QCOMPARE(dialogs_->summaries.size(), 1);
        QVERIFY2(dialogs_->summaries[0].text.contains(QStringLiteral("more messages of this run were not shown")),
                 qPrintable(dialogs_->summaries[0].text));
    }
    QVERIFY(control<QPushButton>(*window_, "isButton1")->isEnabled());
    QVERIFY(control<QPushButton>(*window_, "chameleonButton2")->isEnabled());
}

void WindowRunReportTest::runStartsFromACleanDisplay()
{
    window_->openArchivePath(appFixture("six.zip"));
    clickStart();
    auto* percent = control<QLabel>(*window_, "Percent");
    QCOMPARE(percent->text(), QStringLiteral("100%"));
    // The next run, a GZIP one, shows no "100%" left from the ZIP run.
    window_->openArchivePath(appFixture("pair.tgz"));
    QStringList seen;
    DuringRun probe(*window_, [&] {
        seen << (percent->isVisible() ? percent->text() : QStringLiteral("hidden"));
        return false;
    });
    clickStart();
    QVERIFY(!seen.isEmpty());
    QVERIFY2(!seen.first().contains(QStringLiteral("100%")), qPrintable(seen.join(',')));
    QVERIFY(QFileInfo(out_->path() + "/pair.tar").isFile());
    QVERIFY(!window_->runActive());
}

void WindowRunReportTest::gzipRunShowsProgressAndCancels()
{
    // 48 MiB of text in one GZIP member: long enough to watch and to cancel.
    QTemporaryDir work;
    const QString gz = work.path() + QStringLiteral("/big.txt.gz");
    QVERIFY(velmora::test::run_command("yes 'a line of a long GZIP member' | head -c 50331648 | gzip -1 > "
                                       + velmora::test::shell_quote(gz.toStdString()))
            == 0);
    window_->openArchivePath(gz);
    QCOMPARE(control<QTreeWidget>(*window_, "lstInZip")->topLevelItemCount(), 1);
    auto* percent = control<QLabel>(*window_, "Percent");
    auto* bar = control<ui::XP_ProgressBar>(*window_, "XP_ProgressBar1");
    bool sawProgress = false;
    DuringRun cancel(*window_, [&] {
        if (!percent->isVisible())
            return false; // still building the selection
        sawProgress = true;
        QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton4"), Qt::LeftButton);
        return true;
    });
    dialogs_->yesNoAnswers.enqueue(true);
    clickStart();
    QVERIFY(!window_->runActive());
    if (!sawProgress)
        QSKIP("needs the GZIP reader's progress and cancel (core)");
    QCOMPARE(dialogs_->questions.size(), 1);
    QCOMPARE(dialogs_->questions[0].text, QStringLiteral("Do you want to cancel?"));
    // Cancelled: the display is reset, the buttons are back, no report box.
    QCOMPARE(bar->Value(), 0);
    QCOMPARE(bar->Color(), progress_color_reset);
    QVERIFY(!percent->isVisible());
    QVERIFY(dialogs_->summaries.isEmpty());
    QVERIFY(control<QPushButton>(*window_, "chameleonButton1")->isEnabled());
    QVERIFY(control<QPushButton>(*window_, "chameleonButton2")->isEnabled());
}

void WindowRunReportTest::missingOutputFolderOffered_data()
{
    QTest::addColumn<bool>("yes");
    QTest::newRow("Yes makes the chain and extracts") << true;
    QTest::newRow("No is an invalid output path") << false;
}

void WindowRunReportTest::missingOutputFolderOffered()
{
    QFETCH(bool, yes);
    window_->openArchivePath(appFixture("six.zip"));
    const QString target = out_->path() + QStringLiteral("/new/deeper");
    control<QLineEdit>(*window_, "Text2")->setText(target);
    dialogs_->yesNoAnswers.enqueue(yes);
    clickStart();
    QCOMPARE(dialogs_->questions.size(), 1);
    QVERIFY(dialogs_->questions[0].text.contains(target));
    QCOMPARE(dialogs_->questions[0].title, QStringLiteral("Velmora Archive Extractor 1.0"));
    if (yes) {
        QVERIFY(dialogs_->messages.isEmpty());
        QVERIFY(QFileInfo(target + "/three.txt").isFile());
    } else {
        QCOMPARE(dialogs_->messageTexts(), QStringList({"Invalid output path."}));
        QVERIFY(!QFileInfo::exists(out_->path() + "/new"));
    }
    // A relative path is never made.
    dialogs_->questions.clear();
    dialogs_->messages.clear();
    control<QLineEdit>(*window_, "Text2")->setText(QStringLiteral("relative/out"));
    clickStart();
    QVERIFY(dialogs_->questions.isEmpty());
    QCOMPARE(dialogs_->messageTexts(), QStringList({"Invalid output path."}));
}

QTEST_MAIN(WindowRunReportTest)
#include "window_run_report_test.moc"
