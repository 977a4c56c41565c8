// Guards the window's screen-free rules against drifting from what the user
// sees: size bands, date text, which names the queue takes, folder scan order,
// Start's check order, menu states, settings writes and the progress fill.
#include "app/WindowRules.h"
#include "ui/QueueListBox.h"
#include "ui/XP_ProgressBar.h"

#include <QFile>
#include <QMimeData>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace velmora;
using namespace velmora::app;

class WindowRulesTest : public QObject {
    Q_OBJECT
private slots:
    void formatSizeBands_data();
    void formatSizeBands();
    void formatSizeUsesLocaleDecimalSeparator();
    void dateText_data();
    void dateText();
    void imageFileCheck_data();
    void imageFileCheck();
    void trailingSlash();
    void recursiveDirOrderAndHiddenNames();
    void filesDirectlyInIncludesHidden();
    void startCheckOrder_data();
    void startCheckOrder();
    void startMessagesTextsAndIcons();
    void queueMenuStates_data();
    void queueMenuStates();
    void settingsWrites();
    void storedCheckValue();
    void pickedFolderLosesTrailingSlash();
    void openDialogFiltersReachEveryFormat();
    void progressFill_data();
    void progressFill();
    void localFilesFromMime();
};

void WindowRulesTest::formatSizeBands_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("text");
    // Each band's first value and the value just below the next band.
    QTest::newRow("zero") << qint64(0) << "0 bytes";
    QTest::newRow("band1 top") << qint64(1023) << "1023 bytes";
    QTest::newRow("negative") << qint64(-1) << "-1 bytes";
    QTest::newRow("2 GiB as signed 32-bit") << qint64(INT32_MIN) << "-2147483648 bytes";
    QTest::newRow("band2 from") << qint64(1024) << "1.00 KB";
    QTest::newRow("band2 top") << qint64(10239) << "10.00 KB";
    QTest::newRow("2,560") << qint64(2560) << "2.50 KB";
    QTest::newRow("band3 from") << qint64(10240) << "10.0 KB";
    QTest::newRow("50,000") << qint64(50000) << "48.8 KB";
    QTest::newRow("band3 top") << qint64(102399) << "100.0 KB";
    QTest::newRow("band4 from") << qint64(102400) << "100 KB";
    QTest::newRow("154,000") << qint64(154000) << "150 KB";
    QTest::newRow("band4 top") << qint64(1023999) << "999 KB";
    QTest::newRow("band5 from") << qint64(1024000) << "0.98 MB";
    QTest::newRow("band5 top") << qint64(10485759) << "10.00 MB";
    QTest::newRow("band6 from") << qint64(10485760) << "10.0 MB";
    QTest::newRow("band6 top") << qint64(104857599) << "100.0 MB";
    QTest::newRow("band7 from") << qint64(104857600) << "100 MB";
    QTest::newRow("band7 top") << qint64(1048575999) << "999 MB";
    QTest::newRow("band8 from") << qint64(1048576000) << "0.98 GB";
    QTest::newRow("int32 max") << qint64(INT32_MAX) << "2.00 GB";
    QTest::newRow("band8 top") << qint64(10737418239) << "10.00 GB";
    QTest::newRow("band9 from") << qint64(10737418240) << "10.0 GB";
    QTest::newRow("band9 top") << qint64(107374182399) << "100.0 GB";
    QTest::newRow("band10 from") << qint64(107374182400) << "100 GB";
    QTest::newRow("band10 top") << qint64(1073741823999) << "999 GB";
    QTest::newRow("band11 from") << qint64(1073741824000) << "0.98 TB";
    QTest::newRow("band11 no separators") << qint64(1099511627776) * 1500 << "1500.00 TB";
}

void WindowRulesTest::formatSizeBands()
{
    QFETCH(qint64, size);
    QFETCH(QString, text);
    QCOMPARE(FormatSize(size, QLocale(QLocale::English, QLocale::UnitedStates)), text);
}

void WindowRulesTest::formatSizeUsesLocaleDecimalSeparator()
{
    const QLocale de(QLocale::German, QLocale::Germany);
    QCOMPARE(FormatSize(2560, de), QStringLiteral("2,50 KB"));
    QCOMPARE(FormatSize(50000, de), QStringLiteral("48,8 KB"));
    // Whole-number bands carry no separator at all.
    QCOMPARE(FormatSize(1023999, de), QStringLiteral("999 KB"));
    QCOMPARE(FormatSize(1099511627776 * 1500, de), QStringLiteral("1500,00 TB"));
}

void WindowRulesTest::dateText_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("mo");
    QTest::addColumn<int>("d");
    QTest::addColumn<int>("h");
    QTest::addColumn<int>("mi");
    QTest::addColumn<int>("s");
    QTest::addColumn<QString>("text");
    QTest::newRow("us morning") << "en_US" << 2008 << 3 << 14 << 9 << 26 << 53 << "3/14/2008 9:26:53 AM";
    QTest::newRow("us noon") << "en_US" << 2008 << 3 << 14 << 12 << 0 << 0 << "3/14/2008 12:00:00 PM";
    QTest::newRow("us one second past midnight") << "en_US" << 1999 << 12 << 31 << 0 << 0 << 1
                                                 << "12/31/1999 12:00:01 AM";
    QTest::newRow("us midnight: date alone") << "en_US" << 2008 << 3 << 14 << 0 << 0 << 0 << "3/14/2008";
    QTest::newRow("us rejected DOS value") << "en_US" << 1601 << 1 << 1 << 0 << 0 << 0 << "1/1/1601";
    QTest::newRow("german") << "de_DE" << 2008 << 3 << 14 << 9 << 26 << 53 << "14.03.2008 09:26:53";
    QTest::newRow("german midnight") << "de_DE" << 1980 << 1 << 1 << 0 << 0 << 0 << "01.01.1980";
}

void WindowRulesTest::dateText()
{
    QFETCH(QString, locale);
    QFETCH(int, y);
    QFETCH(int, mo);
    QFETCH(int, d);
    QFETCH(int, h);
    QFETCH(int, mi);
    QFETCH(int, s);
    QFETCH(QString, text);
    QCOMPARE(DateText(DateTime{y, mo, d, h, mi, s}, QLocale(locale)), text);
}

void WindowRulesTest::imageFileCheck_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("taken");
    QTest::newRow("a.zip") << "/x/a.zip" << true;
    QTest::newRow("b.ZIP") << "/x/b.ZIP" << true;
    QTest::newRow("c.Zip") << "/x/c.Zip" << false;
    QTest::newRow("zIP") << "/x/d.zIP" << false;
    QTest::newRow("d.txt") << "/x/d.txt" << false;
    QTest::newRow("no dot needed") << "/x/backupzip" << true;
    QTest::newRow("exactly zip") << "zip" << true;
    QTest::newRow("two characters") << "ip" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("trailing slash") << "/x/a.zip/" << false;
}

void WindowRulesTest::imageFileCheck()
{
    QFETCH(QString, name);
    QFETCH(bool, taken);
    QCOMPARE(ImageFileCheck(name), taken);
}

void WindowRulesTest::trailingSlash()
{
    QCOMPARE(TrailingSlash(QString()), QString());
    QCOMPARE(TrailingSlash(QStringLiteral("/tmp")), QStringLiteral("/tmp/"));
    QCOMPARE(TrailingSlash(QStringLiteral("/tmp/")), QStringLiteral("/tmp/"));
    QCOMPARE(TrailingSlash(QStringLiteral("/")), QStringLiteral("/"));
}

void WindowRulesTest::recursiveDirOrderAndHiddenNames()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString root = tmp.path();
    for (const char* rel : {"b.zip", "a.zip", ".hidden.zip", "notes.txt", "sub2/x.zip", "sub1/y.zip",
                            "sub1/deeper/z.zip", ".hid/h.zip"}) {
        const QString p = root + QLatin1Char('/') + QString::fromLatin1(rel);
        QDir().mkpath(QFileInfo(p).absolutePath());
        QFile f(p);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    // A link back to the root must not send the scan round in circles.
    QVERIFY(QFile::link(root, root + QStringLiteral("/sub1/loop")));

    QStringList files;
    QString folder = root;
    RecursiveDir(files, folder, QStringLiteral("*.*"), true);
    QCOMPARE(folder, root + QLatin1Char('/'));
    const QString r = root + QLatin1Char('/');
    QCOMPARE(files, QStringList({r + "a.zip", r + "b.zip", r + "notes.txt", r + "sub1/y.zip",
                                 r + "sub1/deeper/z.zip", r + "sub2/x.zip"}));

    files.clear();
    folder = root;
    RecursiveDir(files, folder, QStringLiteral("*.*"), false);
    QCOMPARE(files, QStringList({r + "a.zip", r + "b.zip", r + "notes.txt"}));

    files.clear();
    folder = root + QStringLiteral("/missing");
    RecursiveDir(files, folder, QStringLiteral("*.*"), true);
    QVERIFY(files.isEmpty());
}

void WindowRulesTest::filesDirectlyInIncludesHidden()
{
    QTemporaryDir tmp;
    for (const char* rel : {"b.zip", ".a.zip", "sub/c.zip"}) {
        const QString p = tmp.path() + QLatin1Char('/') + QString::fromLatin1(rel);
        QDir().mkpath(QFileInfo(p).absolutePath());
        QFile f(p);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    const QString r = tmp.path() + QLatin1Char('/');
    QCOMPARE(FilesDirectlyIn(tmp.path()), QStringList({r + ".a.zip", r + "b.zip"}));
}

void WindowRulesTest::startCheckOrder_data()
{
    QTest::addColumn<int>("queue");
    QTest::addColumn<QString>("text1");
    QTest::addColumn<QString>("output");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<int>("outcome");
    using O = StartOutcome;
    QTest::newRow("empty queue beats missing path") << 0 << "" << "" << false << 0 << false << int(O::openArchiveFirst);
    QTest::newRow("empty queue whatever the path") << 0 << "" << "/tmp" << true << 3 << true << int(O::openArchiveFirst);
    QTest::newRow("Text1 alone passes the first check") << 0 << "/a.zip" << "" << false << 0 << false << int(O::enterOutputPath);
    QTest::newRow("path before folder") << 1 << "" << "" << false << 0 << false << int(O::enterOutputPath);
    QTest::newRow("folder before contents") << 1 << "" << "/nope" << false << 0 << false << int(O::invalidOutputPath);
    QTest::newRow("no rows, queue filled") << 1 << "" << "/tmp" << true << 0 << false << int(O::corruptArchive);
    QTest::newRow("no rows, empty queue") << 0 << "/a.zip" << "/tmp" << true << 0 << false << int(O::nothingToDo);
    QTest::newRow("nothing ticked") << 2 << "" << "/tmp" << true << 6 << false << int(O::selectAtLeastOne);
    QTest::newRow("ready") << 2 << "" << "/tmp" << true << 6 << true << int(O::extract);
    QTest::newRow("beyond 16-bit row counts") << 1 << "" << "/tmp" << true << 40000 << true << int(O::extract);
}

void WindowRulesTest::startCheckOrder()
{
    QFETCH(int, queue);
    QFETCH(QString, text1);
    QFETCH(QString, output);
    QFETCH(bool, exists);
    QFETCH(int, rows);
    QFETCH(bool, checked);
    QFETCH(int, outcome);
    StartInputs in;
    in.queueCount = queue;
    in.text1 = text1;
    in.outputPath = output;
    in.outputFolderExists = exists;
    in.rowCount = rows;
    in.anyRowChecked = checked;
    QCOMPARE(int(StartCheck(in)), outcome);
}

void WindowRulesTest::startMessagesTextsAndIcons()
{
    const auto corrupt = StartMessage(StartOutcome::corruptArchive);
    QVERIFY(corrupt);
    QCOMPARE(corrupt->text, QStringLiteral("The selected ZIP File is corrupt.Please try again."));
    QCOMPARE(corrupt->title, QStringLiteral("Error"));
    QCOMPARE(corrupt->icon, MessageIcon::critical);
    for (StartOutcome o : {StartOutcome::openArchiveFirst, StartOutcome::enterOutputPath,
                           StartOutcome::invalidOutputPath, StartOutcome::selectAtLeastOne}) {
        const auto box = StartMessage(o);
        QVERIFY(box);
        QCOMPARE(box->title, QStringLiteral("Error"));
        QCOMPARE(box->icon, MessageIcon::information);
    }
    QVERIFY(!StartMessage(StartOutcome::nothingToDo));
    QVERIFY(!StartMessage(StartOutcome::extract));
}

void WindowRulesTest::queueMenuStates_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<bool>("selectionEmpty");
    QTest::addColumn<bool>("clipboard");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("paste");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<bool>("removeAll");
    QTest::newRow("clip, 1 item") << 1 << false << true << true << true << true << false;
    QTest::newRow("clip, 2 items") << 2 << false << true << true << true << true << true;
    QTest::newRow("clip, 0 items") << 0 << true << true << true << true << false << false;
    QTest::newRow("clip, nothing selected") << 3 << true << true << true << true << true << true;
    QTest::newRow("no clip, nothing selected") << 3 << true << false << false << false << false << false;
    QTest::newRow("no clip, empty queue") << 0 << true << false << false << false << false << false;
    QTest::newRow("no clip, 1 item") << 1 << false << false << true << false << true << false;
    QTest::newRow("no clip, 3 items") << 3 << false << false << true << false << true << true;
}

void WindowRulesTest::queueMenuStates()
{
    QFETCH(int, items);
    QFETCH(bool, selectionEmpty);
    QFETCH(bool, clipboard);
    QFETCH(bool, shown);
    QFETCH(bool, paste);
    QFETCH(bool, remove);
    QFETCH(bool, removeAll);
    const auto state = QueueMenuFor(items, selectionEmpty, clipboard);
    QCOMPARE(state.has_value(), shown);
    if (state)
        QCOMPARE(*state, (QueueMenuState{paste, remove, removeAll}));
}

void WindowRulesTest::settingsWrites()
{
    Options o;
    o.saveSettings = true;
    o.selectAll = false;
    o.overwrite = false;
    o.subFolders = true;
    o.rememberPath = false;
    o.outputPath = QStringLiteral("/out");
    auto w = [](const char* s, const char* k, const char* v) {
        return SettingWrite{QString::fromLatin1(s), QString::fromLatin1(k), QString::fromLatin1(v)};
    };

    QCOMPARE(WritesOnChange(OptionControl::selectAll, o),
             (std::vector<SettingWrite>{w("checkboxselectall", "userselectfiles", "0")}));
    QCOMPARE(WritesOnChange(OptionControl::subFolders, o),
             (std::vector<SettingWrite>{w("checkboxfolders", "usersubfolders", "1")}));
    // Remember off: the path key is emptied; typing writes nothing.
    QCOMPARE(WritesOnChange(OptionControl::rememberPath, o),
             (std::vector<SettingWrite>{w("checkboxoutputpath", "savefiles", "")}));
    QVERIFY(WritesOnChange(OptionControl::outputPath, o).empty());
    QCOMPARE(WritesOnChange(OptionControl::saveSettings, o),
             (std::vector<SettingWrite>{w("checkboxselectall", "userselectfiles", "0"),
                                        w("checkboxoverwrite", "overwriteuserfiles", "0"),
                                        w("checkboxfolders", "usersubfolders", "1"),
                                        w("checkboxoutputpath", "savefiles", ""),
                                        w("checkboxsettings", "userssettings", "1")}));
    o.rememberPath = true;
    QCOMPARE(WritesOnChange(OptionControl::outputPath, o),
             (std::vector<SettingWrite>{w("checkboxoutputpath", "savefiles", "/out")}));

    // Save Settings off: nothing is written by the others; its own click erases.
    o.saveSettings = false;
    for (OptionControl c : {OptionControl::selectAll, OptionControl::overwrite, OptionControl::subFolders,
                            OptionControl::rememberPath, OptionControl::outputPath})
        QVERIFY(WritesOnChange(c, o).empty());
    QCOMPARE(WritesOnChange(OptionControl::saveSettings, o),
             (std::vector<SettingWrite>{w("checkboxselectall", "userselectfiles", ""),
                                        w("checkboxoverwrite", "overwriteuserfiles", ""),
                                        w("checkboxfolders", "usersubfolders", ""),
                                        w("checkboxoutputpath", "savefiles", ""),
                                        w("checkboxsettings", "userssettings", "")}));
}

void WindowRulesTest::storedCheckValue()
{
    QCOMPARE(StoredCheckValue(QStringLiteral("1")), std::optional<bool>(true));
    QCOMPARE(StoredCheckValue(QStringLiteral("0")), std::optional<bool>(false));
    QCOMPARE(StoredCheckValue(QStringLiteral(" 1 ")), std::optional<bool>(true));
    for (const char* bad : {"", "2", "-1", "yes", "1.5"})
        QVERIFY2(!StoredCheckValue(QString::fromLatin1(bad)), bad);
}

void WindowRulesTest::pickedFolderLosesTrailingSlash()
{
    QCOMPARE(CleanPickedFolder(QStringLiteral("/home/u/out/")), QStringLiteral("/home/u/out"));
    QCOMPARE(CleanPickedFolder(QStringLiteral("/home/u/out")), QStringLiteral("/home/u/out"));
    QCOMPARE(CleanPickedFolder(QStringLiteral("/")), QStringLiteral("/"));
    QCOMPARE(CleanPickedFolder(QString()), QString());
}

void WindowRulesTest::openDialogFiltersReachEveryFormat()
{
    const QStringList filters = OpenDialogFilters();
    QCOMPARE(filters.first(), QStringLiteral("ZIP File (*.zip)"));
    // Patterns as Qt's file dialog reads them: inside the parentheses, case ignored.
    auto matching = [&](const QString& name) {
        QStringList hits;
        for (const QString& f : filters) {
            const QString inner = f.section(QLatin1Char('('), 1).section(QLatin1Char(')'), 0, 0);
            for (const QString& pattern : inner.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
                const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern),
                                            QRegularExpression::CaseInsensitiveOption);
                if (re.match(name).hasMatch()) {
                    hits.append(f.section(QLatin1Char(' '), 0, 0));
                    break;
                }
            }
        }
        return hits;
    };
    QCOMPARE(matching(QStringLiteral("A.ZIP")), QStringList({"ZIP", "All", "All"}));
    for (const char* name : {"x.tar.gz", "x.TGZ", "x.taz", "x.Z", "x.tar", "x.rar", "x.CAB", "x.arj",
                             "x.lzh", "x.LHA", "x.arc"})
        QCOMPARE(matching(QString::fromLatin1(name)).size(), 2);
    QCOMPARE(matching(QStringLiteral("notes.txt")).size(), 1);
}

void WindowRulesTest::progressFill_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<qint64>("max");
    QTest::addColumn<int>("percent");
    QTest::newRow("no max") << qint64(5) << qint64(0) << 0;
    QTest::newRow("start") << qint64(0) << qint64(7) << 0;
    QTest::newRow("third") << qint64(1) << qint64(3) << 33;
    QTest::newRow("12.5 to even") << qint64(1) << qint64(8) << 12;
    QTest::newRow("37.5 to even") << qint64(3) << qint64(8) << 38;
    QTest::newRow("62.5 to even") << qint64(5) << qint64(8) << 62;
    QTest::newRow("0.5 to even") << qint64(1) << qint64(200) << 0;
    QTest::newRow("1.5 to even") << qint64(3) << qint64(200) << 2;
    QTest::newRow("full") << qint64(8) << qint64(8) << 100;
    QTest::newRow("one above max") << qint64(9) << qint64(8) << 100;
    QTest::newRow("negative") << qint64(-1) << qint64(8) << 0;
    QTest::newRow("32-bit extremes") << qint64(INT32_MAX) << qint64(INT32_MAX) << 100;
    QTest::newRow("large half") << qint64(1) << qint64(2) << 50;
}

void WindowRulesTest::progressFill()
{
    QFETCH(qint64, value);
    QFETCH(qint64, max);
    QFETCH(int, percent);
    QCOMPARE(ui::progressFillPercent(value, max), percent);
}

void WindowRulesTest::localFilesFromMime()
{
    QMimeData uris;
    uris.setUrls({QUrl::fromLocalFile(QStringLiteral("/d/a b.zip")), QUrl(QStringLiteral("https://x/y.zip")),
                  QUrl::fromLocalFile(QStringLiteral("/d/c.ZIP"))});
    QCOMPARE(ui::localFilesOf(&uris), QStringList({"/d/a b.zip", "/d/c.ZIP"}));

    QMimeData gnome;
    gnome.setData(QStringLiteral("x-special/gnome-copied-files"),
                  QByteArray("copy\nfile:///d/a%20b.zip\nfile:///d/e.txt\n"));
    QCOMPARE(ui::localFilesOf(&gnome), QStringList({"/d/a b.zip", "/d/e.txt"}));

    QMimeData text;
    text.setText(QStringLiteral("/d/a.zip"));
    QVERIFY(ui::localFilesOf(&text).isEmpty());
    QVERIFY(ui::localFilesOf(nullptr).isEmpty());
}

QTEST_GUILESS_MAIN(WindowRulesTest)
#include "window_rules_test.moc"
