// Guards the row counters against 16-bit limits: a ZIP of 32,767 entries (the
// most a signed 16-bit entry count admits) and one of 100,000 (a Zip64 end
// record's count) are listed whole, and Start hands every entry to UnPack
// instead of ending silently at a counter's edge.
#include "AppTestSupport.h"
#include "RecordingDialogs.h"

#include "support/TestSupport.h"
#include "ui/XP_ProgressBar.h"

using namespace velmora;
using namespace velmora::app;
using namespace velmora::app::test;

class WindowLargeArchiveTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void moreRowsThanSixteenBitsCount_data();
    void moreRowsThanSixteenBitsCount();

private:
    SettingsSandbox store_;
};

void WindowLargeArchiveTest::initTestCase()
{
    QVERIFY(store_.setUp());
}

void WindowLargeArchiveTest::moreRowsThanSixteenBitsCount_data()
{
    QTest::addColumn<int>("entries");
    QTest::newRow("signed 16-bit maximum") << 32767;
    QTest::newRow("Zip64 count, 100,000") << 100000;
}

void WindowLargeArchiveTest::moreRowsThanSixteenBitsCount()
{
    QFETCH(int, entries);
    if (!velmora::test::have_tool("python3"))
        QSKIP("python3 is needed to build the archive");
    QTemporaryDir work;
    const QString zip = work.path() + "/many.zip";
    const std::string script =
        "import zipfile,sys\n"
        "with zipfile.ZipFile(sys.argv[1],'w') as z:\n"
        "  for i in range(int(sys.argv[2])):\n"
        "    z.writestr(zipfile.ZipInfo('f%06d.txt' % i, date_time=(2020,1,1,0,0,0)), b'%d' % i)\n";
    QFile py(work.path() + "/make.py");
    QVERIFY(py.open(QIODevice::WriteOnly));
    py.write(script.c_str());
    py.close();
    QCOMPARE(velmora::test::run_command("python3 " + velmora::test::shell_quote(py.fileName().toStdString()) + " "
                                        + velmora::test::shell_quote(zip.toStdString()) + " "
                                        + std::to_string(entries)),
             0);

    RecordingDialogs dialogs;
    frmMain w(dialogs);
    const QString out = work.path() + "/out";
    QVERIFY(QDir().mkpath(out));
    control<QLineEdit>(w, "Text2")->setText(out);
    w.openArchivePath(zip);
    auto* list = control<QTreeWidget>(w, "lstInZip");
    QCOMPARE(list->topLevelItemCount(), entries);
    QCOMPARE(list->topLevelItem(entries - 1)->text(0), QStringLiteral(" f%1.txt").arg(entries - 1, 6, 10, QLatin1Char('0')));
    QCOMPARE(list->topLevelItem(entries - 1)->checkState(0), Qt::Checked);

    QTest::mouseClick(control<QPushButton>(w, "isButton1"), Qt::LeftButton);
    QVERIFY2(dialogs.messages.isEmpty(), qPrintable(dialogs.messageTexts().join('|')));
    QCOMPARE(QDir(out).entryList(QDir::Files).size(), entries);
    QFile last(out + QStringLiteral("/f%1.txt").arg(entries - 1, 6, 10, QLatin1Char('0')));
    QVERIFY(last.open(QIODevice::ReadOnly));
    QCOMPARE(last.readAll(), QByteArray::number(entries - 1));
    QCOMPARE(control<QLabel>(w, "Percent")->text(), QStringLiteral("100%"));
    const auto* bar = control<ui::XP_ProgressBar>(w, "XP_ProgressBar1");
    QCOMPARE(bar->Max(), entries);
    QCOMPARE(bar->fillPercent(), 100);
}

QTEST_MAIN(WindowLargeArchiveTest)
#include "window_large_archive_test.moc"
