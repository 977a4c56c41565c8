// Guards the Start command's checks: each of its messages, in its order, with
// its title and icon, and that a refused Start changes nothing it should not.
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include "ui/XP_ProgressBar.h"

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

class WindowStartTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void messagesInCheckOrder();
    void emptyQueueWinsWhateverThePath();
    void refusedStartLeavesStateAlone();

private:
    SettingsSandbox store_;
};

void WindowStartTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowStartTest::init()
{
    store_.clear();
}

void WindowStartTest::messagesInCheckOrder()
{
    QTemporaryDir files;
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    auto* start = control<QPushButton>(w, "isButton1");
    auto* text2 = control<QLineEdit>(w, "Text2");
    QCOMPARE(caption(start), QStringLiteral("Start"));

    QTest::mouseClick(start, Qt::LeftButton);

    // A queued file that no reader recognises lists no rows.
    const QString bad = files.path() + QStringLiteral("/bad.zip");
    writeFile(bad, QByteArray(300, 'x'));
    dialogs.openFileAnswers.enqueue(bad);
    QTest::mouseClick(control<QPushButton>(w, "chameleonButton2"), Qt::LeftButton);
    QCOMPARE(control<QTreeWidget>(w, "lstInZip")->topLevelItemCount(), 0);
    QTest::mouseClick(start, Qt::LeftButton);

    text2->setText(bad); // a file is no folder
    QTest::mouseClick(start, Qt::LeftButton);
    text2->setText(files.path() + QStringLiteral("/missing"));
    QTest::mouseClick(start, Qt::LeftButton);

    text2->setText(files.path());
    QTest::mouseClick(start, Qt::LeftButton);

    // A folder that could be made is offered only to a run that would go
    // ahead: with no rows the archive's fault is told instead.
    QCOMPARE(dialogs.messageTexts(),
             QStringList({"Please open ZIP archive.", "Please enter output path.", "Invalid output path.",
                          "The selected ZIP File is corrupt.Please try again.",
                          "The selected ZIP File is corrupt.Please try again."}));
    QVERIFY(dialogs.questions.isEmpty());
    for (const auto& box : dialogs.messages)
        QCOMPARE(box.title, QStringLiteral("Error"));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(dialogs.messages[i].icon, MessageIcon::information);
    QCOMPARE(dialogs.messages[3].icon, MessageIcon::critical);
    QCOMPARE(dialogs.messages[4].icon, MessageIcon::critical);
}

void WindowStartTest::emptyQueueWinsWhateverThePath()
{
    QTemporaryDir files;
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    control<QLineEdit>(w, "Text2")->setText(files.path());
    QTest::mouseClick(control<QPushButton>(w, "isButton1"), Qt::LeftButton);
    QCOMPARE(dialogs.messageTexts(), QStringList({"Please open ZIP archive."}));
}

void WindowStartTest::refusedStartLeavesStateAlone()
{
    QTemporaryDir files;
    RecordingDialogs dialogs;
    frmMain w(dialogs);
    const QString bad = files.path() + QStringLiteral("/bad.zip");
    writeFile(bad);
    w.openArchivePath(bad);
    w.set_progress_max(10);
    w.set_progress_value(6);
    w.set_progress_color(progress_color_running);
    QTest::mouseClick(control<QPushButton>(w, "isButton1"), Qt::LeftButton);
    QCOMPARE(dialogs.messageTexts(), QStringList({"Please enter output path."}));
    // Only the bar's value goes back to 0 (the command's first step).
    auto* bar = control<ui::XP_ProgressBar>(w, "XP_ProgressBar1");
    QCOMPARE(bar->Value(), 0);
    QCOMPARE(bar->Color(), progress_color_running);
    QCOMPARE(queueItems(w), QStringList({bad}));
    QCOMPARE(control<QLineEdit>(w, "Text1")->text(), bad);
    QVERIFY(!w.runActive());
}

QTEST_MAIN(WindowStartTest)
#include "window_start_test.moc"
