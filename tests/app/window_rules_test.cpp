// Guards the window's screen-free rules against drifting from what the user
// sees: size bands, date text, which names the queue takes, folder scan order,
// Start's check order (and when it offers to make the output folder), menu
// states, settings writes, the progress fill, the end-of-run report, the run
// boxes' choices and the command line.
#include "app/WindowRules.h"
#include "ui/QueueListBox.h"
#include "ui/XP_ProgressBar.h"

#include <QFile>
#include <QMimeData>

#include <sys/stat.h>

#include <cmath>
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
    void progressFillWithinEntry_data();
    void progressFillWithinEntry();
    void localFilesFromMime();
    void outputFolderCreatable();
    void runSummary_data();
    void runSummary();
    void runSummaryIconAndTitle();
    void blockerToolTips();
    void runBoxesOfARun();
    void commandLine();
};

namespace {

// A report from a compact description, one item per entry: "x" extracted,
// "-" not selected, "?" selected but left pending, "skip REASON [DETAIL]" or
// "fail REASON [DETAIL]" with the reason's key as archive-probe prints it.
ExtractionReport makeReport(const QStringList& entries)
{
    static const std::pair<const char*, OutcomeReason> reasons[] = {
        {"unsupported-method", OutcomeReason::unsupported_method},
        {"format-not-extracted", OutcomeReason::format_not_extracted},
        {"not-overwritten", OutcomeReason::not_overwritten},
        {"unsafe-name", OutcomeReason::unsafe_name},
        {"link-refused", OutcomeReason::link_refused},
        {"unsupported-encryption", OutcomeReason::unsupported_encryption},
        {"missing-volume", OutcomeReason::missing_volume},
        {"cancelled", OutcomeReason::cancelled},
        {"not-reached", OutcomeReason::not_reached},
        {"damaged", OutcomeReason::damaged},
        {"wrong-password", OutcomeReason::wrong_password},
        {"write-error", OutcomeReason::write_error},
    };
    ExtractionReport r;
    r.begin(int32_t(entries.size()));
    for (int32_t k = 1; k <= int32_t(entries.size()); ++k) {
        const QStringList parts = entries[k - 1].split(QLatin1Char(' '));
        if (parts[0] == QLatin1String("-"))
            continue;
        r.select(k);
        if (parts[0] == QLatin1String("x")) {
            r.extracted(k);
        } else if (parts[0] == QLatin1String("skip") || parts[0] == QLatin1String("fail")) {
            OutcomeReason reason = OutcomeReason::none;
            for (const auto& [key, value] : reasons)
                if (parts.value(1) == QLatin1String(key))
                    reason = value;
            const std::string detail = parts.mid(2).join(QLatin1Char(' ')).toStdString();
            if (parts[0] == QLatin1String("skip"))
                r.skipped(k, reason, detail);
            else
                r.failed(k, reason, detail);
        }
    }
    return r;
}

} // namespace

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
    QTest::newRow("c.Zip") << "/x/c.Zip" << true;
    QTest::newRow("zIP") << "/x/d.zIP" << true;
    QTest::newRow("d.txt") << "/x/d.txt" << false;
    QTest::newRow("a dot is needed") << "/x/backupzip" << false;
    QTest::newRow("exactly .zip") << ".zip" << true;
    QTest::newRow("two characters") << "ip" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("trailing slash") << "/x/a.zip/" << false;
    QTest::newRow("x.tar.gz") << "/x/x.tar.gz" << true;
    QTest::newRow("x.TGZ") << "/x/x.TGZ" << true;
    QTest::newRow("x.taz") << "/x/x.taz" << true;
    QTest::newRow("x.tar") << "/x/x.tar" << true;
    QTest::newRow("x.Rar") << "/x/x.Rar" << true;
    QTest::newRow("x.cab") << "/x/x.cab" << true;
    QTest::newRow("x.ARJ") << "/x/x.ARJ" << true;
    QTest::newRow("x.lzh") << "/x/x.lzh" << true;
    QTest::newRow("x.lha") << "/x/x.lha" << true;
    QTest::newRow("x.arc") << "/x/x.arc" << true;
    QTest::newRow("compress x.Z") << "/x/x.Z" << true;
    QTest::newRow("x.tar.z") << "/x/x.tar.z" << true;
    QTest::newRow("x.tar.xz") << "/x/x.tar.xz" << true;
    QTest::newRow("x.TXZ") << "/x/x.TXZ" << true;
    QTest::newRow("x.lzma") << "/x/x.lzma" << true;
    QTest::newRow("x.tlz") << "/x/x.tlz" << true;
    QTest::newRow("x.tar.bz2") << "/x/x.tar.bz2" << true;
    QTest::newRow("x.tbz") << "/x/x.tbz" << true;
    QTest::newRow("x.tbz2") << "/x/x.tbz2" << true;
    QTest::newRow("x.tar.zst") << "/x/x.tar.zst" << true;
    QTest::newRow("x.tzst") << "/x/x.tzst" << true;
    QTest::newRow("x.bz stays out") << "/x/x.bz" << false;
    QTest::newRow("x.zstd stays out") << "/x/x.zstd" << false;
    QTest::newRow("x.7z") << "/x/x.7z" << false;
    QTest::newRow("x.zipx") << "/x/x.zipx" << false;
    QTest::newRow("non-ASCII before the dot") << QString::fromUtf8("/x/\u00e4\u00df.ZIP") << true;
}

void WindowRulesTest::imageFileCheck()
{
    QFETCH(QString, name);
    QFETCH(bool, taken);
    QCOMPARE(ImageFileCheck(name), taken);
    // The scans' byte test agrees with the window's.
    QCOMPARE(HasArchiveExtension(name.toUtf8().toStdString()), taken);
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
    QTest::addColumn<bool>("creatable");
    using O = StartOutcome;
    QTest::newRow("empty queue beats missing path") << 0 << "" << "" << false << 0 << false << int(O::openArchiveFirst) << false;
    QTest::newRow("empty queue whatever the path") << 0 << "" << "/tmp" << true << 3 << true << int(O::openArchiveFirst) << false;
    QTest::newRow("Text1 alone passes the first check") << 0 << "/a.zip" << "" << false << 0 << false << int(O::enterOutputPath) << false;
    QTest::newRow("path before folder") << 1 << "" << "" << false << 0 << false << int(O::enterOutputPath) << false;
    QTest::newRow("folder before contents") << 1 << "" << "/nope" << false << 0 << false << int(O::invalidOutputPath) << false;
    QTest::newRow("no rows, queue filled") << 1 << "" << "/tmp" << true << 0 << false << int(O::corruptArchive) << false;
    QTest::newRow("no rows, empty queue") << 0 << "/a.zip" << "/tmp" << true << 0 << false << int(O::nothingToDo) << false;
    QTest::newRow("nothing ticked") << 2 << "" << "/tmp" << true << 6 << false << int(O::selectAtLeastOne) << false;
    QTest::newRow("ready") << 2 << "" << "/tmp" << true << 6 << true << int(O::extract) << false;
    QTest::newRow("beyond 16-bit row counts") << 1 << "" << "/tmp" << true << 40000 << true << int(O::extract) << false;
    // A missing folder that can be made is offered only when the run would go ahead.
    QTest::newRow("missing folder, ready") << 1 << "" << "/new/out" << false << 6 << true << int(O::createOutputFolder) << true;
    QTest::newRow("missing folder, nothing ticked") << 1 << "" << "/new/out" << false << 6 << false << int(O::selectAtLeastOne) << true;
    QTest::newRow("missing folder, corrupt archive") << 1 << "" << "/new/out" << false << 0 << false << int(O::corruptArchive) << true;
    QTest::newRow("missing folder, empty queue") << 0 << "/a.zip" << "/new/out" << false << 0 << false << int(O::nothingToDo) << true;
    QTest::newRow("empty queue before a creatable folder") << 0 << "" << "/new/out" << false << 6 << true << int(O::openArchiveFirst) << true;
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
    QFETCH(bool, creatable);
    StartInputs in;
    in.outputFolderCreatable = creatable;
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
    for (const char* name : {"x.tar.gz", "x.TGZ", "x.taz", "x.tar", "x.rar", "x.CAB", "x.arj", "x.lzh",
                             "x.LHA", "x.arc", "x.Z", "x.tar.xz", "x.txz", "x.lzma", "x.tlz", "x.bz2", "x.tbz",
                             "x.TBZ2", "x.zst", "x.tzst"}) {
        QCOMPARE(matching(QString::fromLatin1(name)).size(), 2);
        // The queue takes what the dialog's "All supported archives" shows.
        QVERIFY(ImageFileCheck(QString::fromLatin1(name)));
    }
    QCOMPARE(matching(QStringLiteral("x.7z")).size(), 1);
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

void WindowRulesTest::progressFillWithinEntry_data()
{
    QTest::addColumn<qint64>("value");
    QTest::addColumn<qint64>("max");
    QTest::addColumn<double>("fraction");
    QTest::addColumn<int>("percent");
    QTest::newRow("no fraction: as before") << qint64(1) << qint64(2) << 0.0 << 50;
    QTest::newRow("one entry, half done") << qint64(1) << qint64(1) << 0.5 << 50;
    QTest::newRow("one entry, almost") << qint64(1) << qint64(1) << 0.999 << 99;
    QTest::newRow("one entry, done") << qint64(1) << qint64(1) << 1.0 << 100;
    QTest::newRow("second of four, a quarter") << qint64(2) << qint64(4) << 0.25 << 31;
    QTest::newRow("never beyond Value") << qint64(1) << qint64(3) << 1.0 << 33;
    QTest::newRow("above one is one") << qint64(1) << qint64(3) << 7.0 << 33;
    QTest::newRow("before the first entry") << qint64(0) << qint64(3) << 0.5 << 0;
    QTest::newRow("no max") << qint64(1) << qint64(0) << 0.5 << 0;
    QTest::newRow("NaN is none") << qint64(1) << qint64(2) << std::nan("") << 50;
}

void WindowRulesTest::progressFillWithinEntry()
{
    QFETCH(qint64, value);
    QFETCH(qint64, max);
    QFETCH(double, fraction);
    QFETCH(int, percent);
    QCOMPARE(ui::progressFillPercentWithin(value, max, fraction), percent);
    // The bar draws the same, and a new Value ends the entry's fraction.
    ui::XP_ProgressBar bar;
    bar.setMax(int32_t(max));
    bar.setValue(int32_t(value));
    bar.setEntryFraction(fraction);
    QCOMPARE(bar.fillPercent(), percent);
    bar.setValue(int32_t(value));
    QCOMPARE(bar.fillPercent(), ui::progressFillPercent(value, max));
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

void WindowRulesTest::outputFolderCreatable()
{
    QTemporaryDir tmp;
    QVERIFY(OutputFolderCreatable(tmp.path() + QStringLiteral("/new/deeper")));
    QVERIFY(!OutputFolderCreatable(tmp.path()));                 // exists
    QVERIFY(!OutputFolderCreatable(QStringLiteral("relative/out"))); // made where?
    QVERIFY(!OutputFolderCreatable(QString()));
    QVERIFY(QFile::link(tmp.path() + QStringLiteral("/nowhere"), tmp.path() + QStringLiteral("/dangling")));
    QVERIFY(!OutputFolderCreatable(tmp.path() + QStringLiteral("/dangling")));
    QVERIFY(CreateFolderQuestion(QStringLiteral("/a/b")).contains(QStringLiteral("\"/a/b\"")));
}

void WindowRulesTest::runSummary_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("hidden");
    QTest::addColumn<bool>("userCancelled");
    QTest::addColumn<QString>("text"); // "" = no box

    QTest::newRow("everything extracted: quiet") << QStringList{"x", "x", "-"} << 0 << false << QString();
    QTest::newRow("nothing selected: quiet") << QStringList{"-", "-"} << 0 << false << QString();
    QTest::newRow("methods grouped, most first")
        << QStringList{"x", "skip unsupported-method LZMA", "skip unsupported-method BZip2",
                       "skip unsupported-method LZMA"}
        << 0 << false
        << "1 of 4 entries were extracted.\n"
           "3 entries use a compression method this program cannot extract: LZMA (2), BZip2 (1).";
    QTest::newRow("one entry, singular")
        << QStringList{"skip unsupported-method WinZip AES"} << 0 << false
        << "0 of 1 entry was extracted.\n"
           "1 entry uses a compression method this program cannot extract: WinZip AES (1).";
    QTest::newRow("list-only format")
        << QStringList{"skip format-not-extracted CAB", "skip format-not-extracted CAB", "-"} << 0 << false
        << "0 of 2 entries were extracted.\n"
           "This program can list CAB archives but cannot extract them yet: 2 entries were not extracted.";
    QTest::newRow("skips before failures")
        << QStringList{"fail write-error", "skip not-overwritten", "x", "fail damaged CRC error", "fail write-error"}
        << 0 << false
        << "1 of 5 entries were extracted.\n"
           "1 entry was not extracted because a file of the same name exists and \"Overwrite Existing Files\" is off.\n"
           "2 entries could not be written to the output folder.\n"
           "1 entry is damaged and could not be extracted: CRC error (1).";
    QTest::newRow("hidden messages are counted")
        << QStringList{"x", "fail write-error", "fail write-error", "fail write-error"} << 1 << false
        << "1 of 4 entries were extracted.\n"
           "3 entries could not be written to the output folder.\n"
           "1 more message of this run was not shown.";
    QTest::newRow("hidden messages alone still tell")
        << QStringList{"x"} << 4 << false
        << "1 of 1 entry was extracted.\n4 more messages of this run were not shown.";
    QTest::newRow("the user's cancel needs no report")
        << QStringList{"x", "skip cancelled", "skip not-reached"} << 0 << true << QString();
    QTest::newRow("a cancel not the user's is told")
        << QStringList{"x", "skip not-reached"} << 0 << false
        << "1 of 2 entries were extracted.\n1 entry was not reached because the run ended early.";
    QTest::newRow("the user's cancel with a failure is told")
        << QStringList{"fail wrong-password", "skip cancelled"} << 0 << true
        << "0 of 2 entries were extracted.\n"
           "1 entry was not extracted because the run was cancelled.\n"
           "1 entry could not be decrypted: no password was given, or it was wrong.";
    QTest::newRow("every other reason")
        << QStringList{"skip unsafe-name", "skip unsafe-name", "skip link-refused", "skip unsupported-encryption AES-256",
                       "skip missing-volume"}
        << 0 << false
        << "0 of 5 entries were extracted.\n"
           "2 entries have names leading outside the output folder and were not extracted.\n"
           "1 link was not made because it points outside the output folder or to an entry that was not extracted.\n"
           "1 entry uses an encryption this program cannot decrypt: AES-256 (1).\n"
           "1 entry continues in a volume that is missing.";
}

void WindowRulesTest::runSummary()
{
    QFETCH(QStringList, entries);
    QFETCH(int, hidden);
    QFETCH(bool, userCancelled);
    QFETCH(QString, text);
    const ExtractionReport report = makeReport(entries);
    const std::optional<RunSummary> summary = RunSummaryFor(report, RunNotes{hidden, userCancelled});
    QCOMPARE(summary.has_value(), !text.isEmpty());
    if (summary)
        QCOMPARE(summary->text, text);
}

void WindowRulesTest::runSummaryIconAndTitle()
{
    const auto skips = RunSummaryFor(makeReport({"skip unsupported-method LZMA"}), {});
    QVERIFY(skips);
    QCOMPARE(skips->title, QStringLiteral("Velmora Archive Extractor 1.0"));
    QVERIFY(!skips->failures);
    const auto failed = RunSummaryFor(makeReport({"x", "fail damaged"}), {});
    QVERIFY(failed);
    QVERIFY(failed->failures);
    // A damaged entry without a detail gets no empty list.
    QVERIFY(failed->text.endsWith(QStringLiteral("1 entry is damaged and could not be extracted.")));
}

void WindowRulesTest::blockerToolTips()
{
    QCOMPARE(BlockerToolTip({OutcomeReason::unsupported_method, "LZMA"}),
             QStringLiteral("Packed with LZMA, a method this program cannot extract."));
    QCOMPARE(BlockerToolTip({OutcomeReason::format_not_extracted, "RAR"}),
             QStringLiteral("This program can list RAR archives but cannot extract them yet."));
    QCOMPARE(BlockerToolTip({OutcomeReason::unsupported_encryption, "WinZip AES"}),
             QStringLiteral("Encrypted with WinZip AES, which this program cannot decrypt."));
    QVERIFY(!BlockerToolTip({OutcomeReason::unsupported_method, ""}).isEmpty());
    QVERIFY(BlockerToolTip({}).isEmpty());
}

void WindowRulesTest::runBoxesOfARun()
{
    // A storm of failures: one plain box, one with the run's choices, then
    // quiet once a choice is made; so at most three clicks with the report.
    QCOMPARE(RunBoxFor(0, false), RunBoxKind::plain);
    QCOMPARE(RunBoxFor(1, false), RunBoxKind::withRunChoices);
    QCOMPARE(RunBoxFor(500, false), RunBoxKind::withRunChoices);
    QCOMPARE(RunBoxFor(1, true), RunBoxKind::hidden);
    QCOMPARE(RunBoxFor(0, true), RunBoxKind::hidden);
}

void WindowRulesTest::commandLine()
{
    QTemporaryDir tmp;
    const QString file = tmp.path() + QStringLiteral("/a.zip");
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    const QString fifo = tmp.path() + QStringLiteral("/pipe.zip");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(QFile::link(file, tmp.path() + QStringLiteral("/link.zip")));

    const QString prog = QStringLiteral("velmora");
    CommandLine c = ParseCommandLine({prog, file, tmp.path(), fifo, tmp.path() + QStringLiteral("/missing.zip"),
                                      tmp.path() + QStringLiteral("/link.zip")});
    QCOMPARE(c.action, CommandLine::Action::run);
    // Links to files count; a folder, a FIFO and a missing name do not.
    QCOMPARE(c.files, QStringList({file, tmp.path() + QStringLiteral("/link.zip")}));
    QCOMPARE(c.rejected, QStringList({tmp.path(), fifo, tmp.path() + QStringLiteral("/missing.zip")}));
    const QString text = RejectedArgumentsText(c.rejected);
    for (const QString& r : c.rejected)
        QVERIFY(text.contains(r));
    QVERIFY(RejectedArgumentsText({QStringLiteral("x")}).startsWith(QStringLiteral("\"x\"")));

    c = ParseCommandLine({prog, QStringLiteral("--help"), file});
    QCOMPARE(c.action, CommandLine::Action::help);
    QVERIFY(c.output.contains(QStringLiteral("--version")));
    c = ParseCommandLine({prog, QStringLiteral("--version")});
    QCOMPARE(c.action, CommandLine::Action::version);
    QVERIFY(c.output.contains(QStringLiteral("Velmora Archive Extractor 1.0")));
    c = ParseCommandLine({prog, QStringLiteral("--frobnicate")});
    QCOMPARE(c.action, CommandLine::Action::usageError);
    QVERIFY(c.output.contains(QStringLiteral("frobnicate")));
    // "--" ends the options: a file may start with "-".
    c = ParseCommandLine({prog, QStringLiteral("--"), QStringLiteral("-missing.zip")});
    QCOMPARE(c.action, CommandLine::Action::run);
    QCOMPARE(c.rejected, QStringList({QStringLiteral("-missing.zip")}));
}

QTEST_MAIN(WindowRulesTest)
#include "window_rules_test.moc"
