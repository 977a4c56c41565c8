// Guards the road from queue to disk through the window: rows as the reader
// lists them, Select All, the selection handed to UnPack, a whole extraction
// ending at "100%", Cancel answered Yes and No, the password box, the
// overwrite option, and the window staying inert (and closable) during a run.
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include "support/TestSupport.h"
#include "ui/XP_ProgressBar.h"
#include "ui/ucBrowse.h"

#include <QHeaderView>
#include <QMimeData>
#include <QTimer>

#include <functional>

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

namespace {

QString fixture(const char* name) { return appFixture(name); }

QByteArray readAll(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return f.readAll();
}

// The entries of six.zip as make-fixtures.sh writes them.
struct Entry {
    const char* name;
    QByteArray data;
};
QList<Entry> sixEntries()
{
    QByteArray bin;
    for (int r = 0; r < 12; ++r)
        for (int b = 0; b < 256; ++b)
            bin.append(char(b));
    return {{"docs/", {}},
            {"docs/readme.txt", QByteArray("read me\n").repeated(40)},
            {"one.txt", QByteArray("one\n").repeated(100)},
            {"two.txt", QByteArray("two\n").repeated(300)},
            {"data.bin", bin},
            {"three.txt", QByteArray("three\n")}};
}

} // namespace

class WindowExtractTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void rowsShowWhatTheReaderLists();
    void selectAllChecksAndUnchecksRows();
    void fifthMessageWhenNothingTicked();
    void rowsTwoAndFiveOfSix();
    void wholeExtractionEndsAtHundredPercent();
    void idleCancelDoesNotCountForTheNextRun();
    void cancelAnsweredYes();
    void cancelAnsweredNo();
    void windowInertDuringRun();
    void closeDuringRunCancelsThenCloses();
    void passwordBoxAndEncryptedMarker();
    void overwriteOptionReachesTheWriter();
    void gzipThenTarThroughTheWindow();
    void closeWhileSelectionIsBuiltSkipsUnPack();

private:
    void openSix();
    void clickStart() { QTest::mouseClick(control<QPushButton>(*window_, "isButton1"), Qt::LeftButton); }

    SettingsSandbox store_;
    QScopedPointer<QTemporaryDir> out_;
    ShownWindow shown_;
    RecordingDialogs* dialogs_ = nullptr;
    frmMain* window_ = nullptr;
};

void WindowExtractTest::initTestCase()
{
    QVERIFY(store_.setUp());
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void WindowExtractTest::init()
{
    store_.clear();
    out_.reset(new QTemporaryDir);
    QVERIFY(shown_.open());
    dialogs_ = &shown_.dialogs();
    window_ = &shown_.window();
    control<QLineEdit>(*window_, "Text2")->setText(out_->path());
}

void WindowExtractTest::cleanup()
{
    shown_.close();
    window_ = nullptr;
    dialogs_ = nullptr;
    out_.reset();
}

void WindowExtractTest::openSix()
{
    dialogs_->openFileAnswers.enqueue(fixture("six.zip"));
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    QCOMPARE(control<QTreeWidget>(*window_, "lstInZip")->topLevelItemCount(), 6);
}

void WindowExtractTest::rowsShowWhatTheReaderLists()
{
    openSix();
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("File Name"));
    QCOMPARE(list->headerItem()->text(3), QStringLiteral("Modified"));
    const QList<Entry> entries = sixEntries();
    Cls_GetFileType& d = window_->dispatcher();
    for (int k = 1; k <= 6; ++k) {
        const QTreeWidgetItem* row = list->topLevelItem(k - 1);
        QCOMPARE(row->text(0), QStringLiteral(" ") + QString::fromLatin1(entries[k - 1].name));
        if (k == 1) {
            QCOMPARE(row->text(1), QString::fromStdString(d.Method(1)));
            QVERIFY(!row->text(1).isEmpty());
            QCOMPARE(row->text(2), QStringLiteral("Directory Entry"));
        } else {
            QCOMPARE(row->text(1), FormatSize(d.Compressed_Size(k)));
            QCOMPARE(row->text(2), FormatSize(entries[k - 1].data.size()));
        }
    }
    QCOMPARE(list->topLevelItem(0)->text(3), QStringLiteral("3/14/2008"));
    QCOMPARE(list->topLevelItem(1)->text(3), QStringLiteral("3/14/2008 9:26:52 AM"));
    QCOMPARE(list->topLevelItem(4)->text(2), QStringLiteral("3.00 KB"));
    QCOMPARE(list->topLevelItem(5)->text(3), QStringLiteral("12/31/2012 11:59:58 PM"));
    // AutoSizeColumns: each column as wide as Qt's own fit of header and
    // every cell.
    list->header()->setResizeContentsPrecision(-1);
    for (int c = 0; c < 4; ++c) {
        const int ours = list->columnWidth(c);
        list->resizeColumnToContents(c);
        QCOMPARE(ours, list->columnWidth(c));
    }
}

void WindowExtractTest::selectAllChecksAndUnchecksRows()
{
    openSix();
    QCOMPARE(rowChecks(*window_), QList<bool>(6, true));
    auto* selectAll = control<QCheckBox>(*window_, "Check1");
    selectAll->setChecked(false);
    QCOMPARE(rowChecks(*window_), QList<bool>(6, false));
    selectAll->setChecked(true);
    QCOMPARE(rowChecks(*window_), QList<bool>(6, true));
    // With Select All off, a newly listed archive starts unticked.
    selectAll->setChecked(false);
    window_->openArchivePath(fixture("secret.zip"));
    QCOMPARE(rowChecks(*window_), QList<bool>({false}));
}

void WindowExtractTest::fifthMessageWhenNothingTicked()
{
    openSix();
    control<QCheckBox>(*window_, "Check1")->setChecked(false);
    clickStart();
    QCOMPARE(dialogs_->messageTexts(), QStringList({"Please select at least one file to extract."}));
    QCOMPARE(dialogs_->messages[0].icon, MessageIcon::information);
    QVERIFY(QDir(out_->path()).isEmpty());
}

void WindowExtractTest::rowsTwoAndFiveOfSix()
{
    openSix();
    control<QCheckBox>(*window_, "Check1")->setChecked(false);
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    list->topLevelItem(1)->setCheckState(0, Qt::Checked);
    list->topLevelItem(4)->setCheckState(0, Qt::Checked);
    clickStart();
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    const QList<Entry> entries = sixEntries();
    const QString out = out_->path() + QLatin1Char('/');
    // Exactly entries 2 and 5 reach the disk (entry 1's folder comes with entry 2).
    QCOMPARE(readAll(out + "docs/readme.txt"), entries[1].data);
    QCOMPARE(readAll(out + "data.bin"), entries[4].data);
    for (int k : {3, 4, 6})
        QVERIFY2(!QFileInfo::exists(out + QString::fromLatin1(entries[k - 1].name)), entries[k - 1].name);
    // The run does not change the list's ticks.
    QCOMPARE(rowChecks(*window_), QList<bool>({false, true, false, false, true, false}));
}

void WindowExtractTest::wholeExtractionEndsAtHundredPercent()
{
    openSix();
    clickStart();
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    for (const Entry& e : sixEntries()) {
        const QString path = out_->path() + QLatin1Char('/') + QString::fromLatin1(e.name);
        if (QByteArray(e.name).endsWith('/'))
            QVERIFY(QFileInfo(path).isDir());
        else
            QCOMPARE(readAll(path), e.data);
    }
    // The stored time reaches the file.
    QCOMPARE(QFileInfo(out_->path() + "/three.txt").lastModified(),
             QDateTime(QDate(2012, 12, 31), QTime(23, 59, 58)));
    auto* percent = control<QLabel>(*window_, "Percent");
    QCOMPARE(percent->text(), QStringLiteral("100%"));
    QVERIFY(percent->isVisible());
    auto* bar = control<ui::XP_ProgressBar>(*window_, "XP_ProgressBar1");
    QCOMPARE(bar->Color(), progress_color_running);
    QCOMPARE(bar->fillPercent(), 100);
    QVERIFY(control<QPushButton>(*window_, "chameleonButton1")->isEnabled());
    QVERIFY(control<QPushButton>(*window_, "chameleonButton2")->isEnabled());
    QVERIFY(control<QPushButton>(*window_, "isButton1")->isEnabled());
    QVERIFY(!window_->runActive());
}

void WindowExtractTest::idleCancelDoesNotCountForTheNextRun()
{
    openSix();
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton4"), Qt::LeftButton);
    clickStart();
    QVERIFY(dialogs_->questions.isEmpty());
    QVERIFY(QFileInfo::exists(out_->path() + "/three.txt"));
}

void WindowExtractTest::cancelAnsweredYes()
{
    openSix();
    auto* percent = control<QLabel>(*window_, "Percent");
    auto* cancel = control<QPushButton>(*window_, "chameleonButton4");
    DuringRun click(*window_, [&] {
        if (!percent->isVisible())
            return false; // UnPack has not started its entries yet
        QTest::mouseClick(cancel, Qt::LeftButton);
        return true;
    });
    dialogs_->yesNoAnswers.enqueue(true);
    clickStart();
    QVERIFY(click.done());
    QCOMPARE(dialogs_->questions.size(), 1);
    QCOMPARE(dialogs_->questions[0].text, QStringLiteral("Do you want to cancel?"));
    QCOMPARE(dialogs_->questions[0].title, QStringLiteral("Velmora Archive Extractor 1.0"));
    QVERIFY(!QFileInfo::exists(out_->path() + "/three.txt"));
    auto* bar = control<ui::XP_ProgressBar>(*window_, "XP_ProgressBar1");
    QCOMPARE(bar->Value(), 0);
    QCOMPARE(bar->Color(), progress_color_reset);
    QVERIFY(percent->text().isEmpty());
    QVERIFY(!percent->isVisible());
    QVERIFY(control<QPushButton>(*window_, "isButton1")->isEnabled());
}

void WindowExtractTest::cancelAnsweredNo()
{
    openSix();
    auto* percent = control<QLabel>(*window_, "Percent");
    DuringRun click(*window_, [&] {
        if (!percent->isVisible())
            return false;
        QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton4"), Qt::LeftButton);
        return true;
    });
    dialogs_->yesNoAnswers.enqueue(false);
    clickStart();
    QCOMPARE(dialogs_->questions.size(), 1);
    for (const Entry& e : sixEntries())
        QVERIFY2(QFileInfo::exists(out_->path() + QLatin1Char('/') + QString::fromLatin1(e.name)), e.name);
    QCOMPARE(percent->text(), QStringLiteral("100%"));
    QCOMPARE(control<ui::XP_ProgressBar>(*window_, "XP_ProgressBar1")->Color(), progress_color_running);
}

void WindowExtractTest::windowInertDuringRun()
{
    openSix();
    QTemporaryDir other;
    writeFile(other.path() + "/other.zip", QByteArray(100, 'x'));
    auto* queue = control<QListWidget>(*window_, "List1");
    const QStringList before = queueItems(*window_);
    QStringList live;
    DuringRun probe(*window_, [&] {
        for (const char* name : {"List1", "ucBrowse1", "lstInZip", "Frame1", "isButton1", "chameleonButton1",
                                 "chameleonButton2"})
            if (control<QWidget>(*window_, name)->isEnabled())
                live << QString::fromLatin1(name);
        if (!control<QPushButton>(*window_, "chameleonButton4")->isEnabled())
            live << QStringLiteral("Cancel is not live");
        // What a user could still reach programmatically changes nothing.
        control<ui::ucBrowse>(*window_, "ucBrowse1")->setPath(other.path());
        window_->openArchivePath(other.path() + "/other.zip");
        queue->setCurrentRow(-1);
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(other.path() + "/other.zip")});
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(queue->viewport(), &drop);
        clickStart(); // a second Start is refused
        return true;
    });
    clickStart();
    QVERIFY(probe.done());
    QVERIFY2(live.isEmpty(), qPrintable(live.join(QLatin1Char(','))));
    QCoreApplication::processEvents();
    QCOMPARE(queueItems(*window_), before);
    QCOMPARE(window_->currentArchivePath(), fixture("six.zip"));
    QCOMPARE(control<QLineEdit>(*window_, "Text1")->text(), fixture("six.zip"));
    QCOMPARE(control<QTreeWidget>(*window_, "lstInZip")->topLevelItemCount(), 6);
    for (const Entry& e : sixEntries())
        QVERIFY2(QFileInfo::exists(out_->path() + QLatin1Char('/') + QString::fromLatin1(e.name)), e.name);
    for (const char* name : {"List1", "ucBrowse1", "lstInZip", "Frame1", "isButton1"})
        QVERIFY2(control<QWidget>(*window_, name)->isEnabled(), name);
}

void WindowExtractTest::closeDuringRunCancelsThenCloses()
{
    openSix();
    auto* percent = control<QLabel>(*window_, "Percent");
    DuringRun closer(*window_, [&] {
        if (!percent->isVisible())
            return false;
        window_->close();
        return true;
    });
    clickStart();
    QVERIFY(closer.done());
    // No question: closing is a confirmed cancel. The window closes afterwards.
    QVERIFY(dialogs_->questions.isEmpty());
    QVERIFY(!QFileInfo::exists(out_->path() + "/three.txt"));
    QTRY_VERIFY(!window_->isVisible());
}

void WindowExtractTest::passwordBoxAndEncryptedMarker()
{
    dialogs_->openFileAnswers.enqueue(fixture("secret.zip"));
    QTest::mouseClick(control<QPushButton>(*window_, "chameleonButton2"), Qt::LeftButton);
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("+secret.txt"));

    dialogs_->passwordAnswers.enqueue(QStringLiteral("velmora"));
    clickStart();
    QCOMPARE(dialogs_->prompts.size(), 1);
    QCOMPARE(dialogs_->prompts[0].text, QStringLiteral("Please enter Password."));
    QCOMPARE(dialogs_->prompts[0].title, QStringLiteral("Password"));
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    QCOMPARE(readAll(out_->path() + "/secret.txt"), QByteArray("hidden words\n"));

    // A cancelled box: "Invalid Password." under the program's title.
    QVERIFY(QFile::remove(out_->path() + "/secret.txt"));
    clickStart();
    QCOMPARE(dialogs_->messageTexts(), QStringList({"Invalid Password."}));
    QCOMPARE(dialogs_->messages[0].title, QStringLiteral("Velmora Archive Extractor 1.0"));
    QVERIFY(!QFileInfo::exists(out_->path() + "/secret.txt"));
}

void WindowExtractTest::overwriteOptionReachesTheWriter()
{
    openSix();
    const QString target = out_->path() + "/three.txt";
    writeFile(target, "kept");
    control<QCheckBox>(*window_, "Check2")->setChecked(false);
    clickStart();
    QCOMPARE(readAll(target), QByteArray("kept"));
    control<QCheckBox>(*window_, "Check2")->setChecked(true);
    clickStart();
    QCOMPARE(readAll(target), QByteArray("three\n"));
}

void WindowExtractTest::gzipThenTarThroughTheWindow()
{
    // A .tgz lists and extracts as its .tar, which is then queued and extracted.
    window_->openArchivePath(fixture("pair.tgz"));
    auto* list = control<QTreeWidget>(*window_, "lstInZip");
    QCOMPARE(list->topLevelItemCount(), 1);
    QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral(" pair.tar"));
    clickStart();
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    const QString tar = out_->path() + "/pair.tar";
    QVERIFY(QFileInfo(tar).isFile());
    // GZIP and TAR runs show their progress as a ZIP run does, ending at 100%.
    QVERIFY(control<QLabel>(*window_, "Percent")->isVisible());
    QCOMPARE(control<QLabel>(*window_, "Percent")->text(), QStringLiteral("100%"));

    window_->openArchivePath(tar);
    // The opened archive is the one selected and listed.
    QCOMPARE(control<QListWidget>(*window_, "List1")->currentRow(), 1);
    QStringList names;
    for (int r = 0; r < list->topLevelItemCount(); ++r)
        names << list->topLevelItem(r)->text(0);
    QCOMPARE(names, QStringList({" pair/a.txt", " pair/notes/", " pair/notes/b.txt"}));
    QCOMPARE(list->topLevelItem(1)->text(2), QStringLiteral("Directory Entry"));
    QCOMPARE(list->topLevelItem(2)->text(2), QStringLiteral("10 bytes"));

    QTemporaryDir second;
    control<QLineEdit>(*window_, "Text2")->setText(second.path());
    clickStart();
    QVERIFY2(dialogs_->messages.isEmpty(), qPrintable(dialogs_->messageTexts().join('|')));
    QCOMPARE(readAll(second.path() + "/pair/a.txt"), QByteArray("alpha\n"));
    QCOMPARE(readAll(second.path() + "/pair/notes/b.txt"), QByteArray("beta beta\n"));
}

void WindowExtractTest::closeWhileSelectionIsBuiltSkipsUnPack()
{
    window_->openArchivePath(fixture("pair.tgz"));
    DuringRun closer(*window_, [&] {
        // Inert already while the selection is being built.
        if (control<QWidget>(*window_, "List1")->isEnabled() || !control<QWidget>(*window_, "chameleonButton4")->isEnabled())
            return false;
        window_->close();
        return true;
    });
    clickStart();
    QVERIFY(closer.done());
    QVERIFY(!QFileInfo::exists(out_->path() + "/pair.tar"));
    QVERIFY(dialogs_->questions.isEmpty());
    QTRY_VERIFY(!window_->isVisible());
}

QTEST_MAIN(WindowExtractTest)
#include "window_extract_test.moc"
