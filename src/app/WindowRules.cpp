// Screen-free rules of the main window.
#include "app/WindowRules.h"

#include "app/FolderWalk.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTime>

#include <sys/stat.h>

#include <algorithm>
#include <map>

namespace velmora::app {

namespace {

constexpr int64_t KB = 1024;
constexpr int64_t MB = 1024 * KB;
constexpr int64_t GB = 1024 * MB;
constexpr int64_t TB = 1024 * GB;

QString withDecimals(const QLocale& locale, double v, int decimals)
{
    return locale.toString(v, 'f', decimals);
}

// Rewrites a QLocale date/time format outside its quoted literals: a run of
// exactly two 'y' becomes four; with dropZone, every 't' run (time-zone name)
// goes, together with the blanks before it.
QString adjustFormat(const QString& format, bool dropZone)
{
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size();) {
        const QChar c = format[i];
        if (c == QLatin1Char('\'')) {
            quoted = !quoted;
            out += c;
            ++i;
            continue;
        }
        if (quoted || (c != QLatin1Char('y') && c != QLatin1Char('t'))) {
            out += c;
            ++i;
            continue;
        }
        qsizetype run = 1;
        while (i + run < format.size() && format[i + run] == c)
            ++run;
        if (c == QLatin1Char('y')) {
            out += QString(run == 2 ? 4 : run, QLatin1Char('y'));
        } else if (dropZone) {
            while (!out.isEmpty() && out.back().isSpace())
                out.chop(1);
        } else {
            out += QString(run, c);
        }
        i += run;
    }
    return out.trimmed();
}

} // namespace

QString FormatSize(int64_t s, const QLocale& locale_in)
{
    QLocale locale = locale_in;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    if (s < KB)
        return QString::number(s) + QStringLiteral(" bytes");
    if (s < 10 * KB)
        return withDecimals(locale, double(s) / KB, 2) + QStringLiteral(" KB");
    if (s < 100 * KB)
        return withDecimals(locale, double(s) / KB, 1) + QStringLiteral(" KB");
    if (s < 1000 * KB)
        return QString::number(s / KB) + QStringLiteral(" KB");
    if (s < 10 * MB)
        return withDecimals(locale, double(s) / MB, 2) + QStringLiteral(" MB");
    if (s < 100 * MB)
        return withDecimals(locale, double(s) / MB, 1) + QStringLiteral(" MB");
    if (s < 1000 * MB)
        return QString::number(s / MB) + QStringLiteral(" MB");
    if (s < 10 * GB)
        return withDecimals(locale, double(s) / GB, 2) + QStringLiteral(" GB");
    if (s < 100 * GB)
        return withDecimals(locale, double(s) / GB, 1) + QStringLiteral(" GB");
    if (s < 1000 * GB)
        return QString::number(s / GB) + QStringLiteral(" GB");
    return withDecimals(locale, double(s) / TB, 2) + QStringLiteral(" TB");
}

QString DateText(const DateTime& value, const QLocale& locale)
{
    return DateTextFormatter(locale)(value);
}

DateTextFormatter::DateTextFormatter(const QLocale& locale)
    : locale_(locale),
      dateFormat_(adjustFormat(locale.dateFormat(QLocale::ShortFormat), false)),
      timeFormat_(adjustFormat(locale.timeFormat(QLocale::LongFormat), true))
{
}

QString DateTextFormatter::operator()(const DateTime& value)
{
    if (haveLast_ && value == last_)
        return lastText_;
    const QDate date(value.year, value.month, value.day);
    const QTime time(value.hour, value.minute, value.second);
    QString text;
    if (date.isValid() && time.isValid()) {
        text = locale_.toString(date, dateFormat_);
        if (time != QTime(0, 0, 0))
            text += QLatin1Char(' ') + locale_.toString(time, timeFormat_);
    }
    last_ = value;
    lastText_ = text;
    haveLast_ = true;
    return text;
}

bool HasArchiveExtension(std::string_view name)
{
    for (std::string_view ext : kArchiveExtensions) {
        if (name.size() < ext.size())
            continue;
        const std::string_view tail = name.substr(name.size() - ext.size());
        bool same = true;
        for (size_t i = 0; i < ext.size() && same; ++i) {
            const char c = tail[i];
            // The endings are ASCII: fold A-Z only, so no multi-byte name matches by accident.
            same = (c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) == ext[i];
        }
        if (same)
            return true;
    }
    return false;
}

bool ImageFileCheck(const QString& strFileName)
{
    for (std::string_view ext : kArchiveExtensions)
        if (strFileName.endsWith(QLatin1String(ext.data(), qsizetype(ext.size())), Qt::CaseInsensitive))
            return true;
    return false;
}

QString TrailingSlash(const QString& strFolder)
{
    if (strFolder.isEmpty() || strFolder.endsWith(QLatin1Char('/')))
        return strFolder;
    return strFolder + QLatin1Char('/');
}

namespace {

QStringList walkFiles(const QString& folder, bool subFolders, bool hiddenNames, const QString& pattern)
{
    QStringList out;
    WalkOptions options;
    options.subFolders = subFolders;
    options.hiddenNames = hiddenNames;
    if (!pattern.isEmpty() && pattern != QLatin1String("*.*") && pattern != QLatin1String("*")) {
        const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern));
        options.nameFilter = [re](std::string_view name) {
            return re.match(QFile::decodeName(QByteArray(name.data(), qsizetype(name.size())))).hasMatch();
        };
    }
    WalkCallbacks callbacks;
    callbacks.file = [&](const std::string& path) {
        out.append(QFile::decodeName(QByteArray::fromStdString(path)));
        return true;
    };
    WalkFolder(QFile::encodeName(folder).toStdString(), options, PseudoFileSystems::current(), callbacks);
    return out;
}

} // namespace

void RecursiveDir(QStringList& colFiles, QString& strFolder, const QString& strFileSpec,
                  bool bIncludeSubfolders)
{
    strFolder = TrailingSlash(strFolder);
    colFiles += walkFiles(strFolder, bIncludeSubfolders, false, strFileSpec);
}

QStringList FilesDirectlyIn(const QString& folder)
{
    return walkFiles(TrailingSlash(folder), false, true, QString());
}

StartOutcome StartCheck(const StartInputs& in)
{
    if (in.queueCount < 1 && in.text1.isEmpty())
        return StartOutcome::openArchiveFirst;
    if (in.outputPath.isEmpty())
        return StartOutcome::enterOutputPath;
    if (!in.outputFolderExists && !in.outputFolderCreatable)
        return StartOutcome::invalidOutputPath;
    // A folder that can be made is offered only for a run that would go
    // ahead: the checks after it speak first, so nothing is made in vain.
    StartOutcome rest = StartOutcome::extract;
    if (in.rowCount < 1)
        rest = in.queueCount >= 1 ? StartOutcome::corruptArchive : StartOutcome::nothingToDo;
    else if (!in.anyRowChecked)
        rest = StartOutcome::selectAtLeastOne;
    if (rest == StartOutcome::extract && !in.outputFolderExists)
        return StartOutcome::createOutputFolder;
    return rest;
}

std::optional<BoxMessage> StartMessage(StartOutcome outcome)
{
    const QString title = QStringLiteral("Error");
    switch (outcome) {
    case StartOutcome::openArchiveFirst:
        return BoxMessage{QStringLiteral("Please open ZIP archive."), title, MessageIcon::information};
    case StartOutcome::enterOutputPath:
        return BoxMessage{QStringLiteral("Please enter output path."), title, MessageIcon::information};
    case StartOutcome::invalidOutputPath:
        return BoxMessage{QStringLiteral("Invalid output path."), title, MessageIcon::information};
    case StartOutcome::corruptArchive:
        return BoxMessage{QStringLiteral("The selected ZIP File is corrupt.Please try again."), title,
                          MessageIcon::critical};
    case StartOutcome::selectAtLeastOne:
        return BoxMessage{QStringLiteral("Please select at least one file to extract."), title,
                          MessageIcon::information};
    case StartOutcome::nothingToDo:
    case StartOutcome::createOutputFolder:
    case StartOutcome::extract:
        break;
    }
    return std::nullopt;
}

QString CreateFolderQuestion(const QString& folder)
{
    return QStringLiteral("The output folder \"%1\" does not exist.\nDo you want to create it?").arg(folder);
}

bool OutputFolderCreatable(const QString& path)
{
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return false;
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) != 0;
}

// ---------------------------------------------------------------- end of a run

namespace {

// "1 entry uses" / "3 entries use": the count and the verb agree.
QString counted(int64_t n, const char* one, const char* many)
{
    return QString::number(n) + QLatin1Char(' ') + QString::fromLatin1(n == 1 ? one : many);
}

// "LZMA (2), BZip2 (1)": the details of one reason, most frequent first.
QString detailList(const std::vector<std::pair<QString, int64_t>>& details)
{
    QStringList parts;
    for (const auto& [text, n] : details)
        if (!text.isEmpty())
            parts << QStringLiteral("%1 (%2)").arg(text).arg(n);
    return parts.join(QStringLiteral(", "));
}

QString reasonLine(OutcomeReason reason, int64_t n, const std::vector<std::pair<QString, int64_t>>& details)
{
    const QString list = detailList(details);
    const QString colonList = list.isEmpty() ? QString() : QStringLiteral(": ") + list;
    switch (reason) {
    case OutcomeReason::unsupported_method:
        return counted(n, "entry uses", "entries use") + QStringLiteral(" a compression method this program cannot extract")
               + colonList + QLatin1Char('.');
    case OutcomeReason::format_not_extracted: {
        QStringList formats;
        for (const auto& d : details)
            if (!d.first.isEmpty())
                formats << d.first;
        const QString what = formats.isEmpty() ? QStringLiteral("this kind of archive")
                                               : formats.join(QStringLiteral(", ")) + QStringLiteral(" archives");
        return QStringLiteral("This program can list %1 but cannot extract them yet: ").arg(what)
               + counted(n, "entry was", "entries were") + QStringLiteral(" not extracted.");
    }
    case OutcomeReason::not_overwritten:
        return counted(n, "entry was", "entries were")
               + QStringLiteral(" not extracted because a file of the same name exists and \"Overwrite Existing Files\" is off.");
    case OutcomeReason::unsafe_name:
        return counted(n, "entry has a name", "entries have names")
               + QStringLiteral(" leading outside the output folder and ") + QString::fromLatin1(n == 1 ? "was" : "were")
               + QStringLiteral(" not extracted.");
    case OutcomeReason::link_refused:
        return counted(n, "link was", "links were")
               + QStringLiteral(" not made because ") + QString::fromLatin1(n == 1 ? "it points" : "they point")
               + QStringLiteral(" outside the output folder or to an entry that was not extracted.");
    case OutcomeReason::unsupported_encryption:
        return counted(n, "entry uses", "entries use") + QStringLiteral(" an encryption this program cannot decrypt")
               + colonList + QLatin1Char('.');
    case OutcomeReason::missing_volume:
        return counted(n, "entry continues", "entries continue") + QStringLiteral(" in a volume that is missing.");
    case OutcomeReason::cancelled:
        return counted(n, "entry was", "entries were") + QStringLiteral(" not extracted because the run was cancelled.");
    case OutcomeReason::not_reached:
        return counted(n, "entry was", "entries were") + QStringLiteral(" not reached because the run ended early.");
    case OutcomeReason::damaged:
        return counted(n, "entry is", "entries are") + QStringLiteral(" damaged and could not be extracted") + colonList
               + QLatin1Char('.');
    case OutcomeReason::wrong_password:
        return counted(n, "entry", "entries")
               + QStringLiteral(" could not be decrypted: no password was given, or it was wrong.");
    case OutcomeReason::write_error:
        return counted(n, "entry", "entries") + QStringLiteral(" could not be written to the output folder.");
    case OutcomeReason::none:
        break;
    }
    return counted(n, "entry was", "entries were") + QStringLiteral(" not extracted.");
}

bool endedByCancel(OutcomeReason r) { return r == OutcomeReason::cancelled || r == OutcomeReason::not_reached; }

} // namespace

std::optional<RunSummary> RunSummaryFor(const ExtractionReport& report, const RunNotes& notes)
{
    const std::vector<ExtractionReport::Group> groups = report.groups();
    const bool onlyCancelled = std::all_of(groups.begin(), groups.end(),
                                           [](const ExtractionReport::Group& g) { return endedByCancel(g.reason); });
    if (notes.messagesNotShown == 0 && (groups.empty() || (notes.cancelledByUser && onlyCancelled)))
        return std::nullopt;

    // Skipped lines first, then failures; within each, reasons in the order
    // of their first entry, details summed over the reason.
    struct Line {
        EntryOutcome outcome;
        OutcomeReason reason;
        int64_t count = 0;
        std::vector<std::pair<QString, int64_t>> details;
    };
    std::vector<Line> lines;
    for (const ExtractionReport::Group& g : groups) {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const Line& l) { return l.outcome == g.outcome && l.reason == g.reason; });
        if (it == lines.end()) {
            lines.push_back({g.outcome, g.reason, 0, {}});
            it = std::prev(lines.end());
        }
        it->count += g.count;
        it->details.emplace_back(QString::fromStdString(g.detail), g.count);
    }
    for (Line& l : lines)
        std::stable_sort(l.details.begin(), l.details.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
    std::stable_partition(lines.begin(), lines.end(), [](const Line& l) { return l.outcome != EntryOutcome::failed; });

    RunSummary summary;
    summary.title = QString::fromLatin1(kWindowTitle);
    const int64_t selected = report.selected_count();
    QStringList text;
    text << QStringLiteral("%1 of %2 extracted.")
                .arg(report.count(EntryOutcome::extracted))
                .arg(counted(selected, "entry was", "entries were"));
    for (const Line& l : lines) {
        text << reasonLine(l.reason, l.count, l.details);
        summary.failures = summary.failures || l.outcome == EntryOutcome::failed;
    }
    if (notes.messagesNotShown > 0)
        text << counted(notes.messagesNotShown, "more message of this run was", "more messages of this run were")
                    + QStringLiteral(" not shown.");
    summary.text = text.join(QLatin1Char('\n'));
    return summary;
}

QString BlockerToolTip(const ExtractBlocker& blocker)
{
    const QString detail = QString::fromStdString(blocker.detail);
    switch (blocker.reason) {
    case OutcomeReason::unsupported_method:
        return detail.isEmpty() ? QStringLiteral("Packed with a method this program cannot extract.")
                                : QStringLiteral("Packed with %1, a method this program cannot extract.").arg(detail);
    case OutcomeReason::format_not_extracted:
        return QStringLiteral("This program can list %1 archives but cannot extract them yet.")
            .arg(detail.isEmpty() ? QStringLiteral("these") : detail);
    case OutcomeReason::unsupported_encryption:
        return detail.isEmpty() ? QStringLiteral("Encrypted in a way this program cannot decrypt.")
                                : QStringLiteral("Encrypted with %1, which this program cannot decrypt.").arg(detail);
    case OutcomeReason::missing_volume:
        return QStringLiteral("Continues in a volume that is missing.");
    case OutcomeReason::none:
        return QString();
    default:
        return QStringLiteral("This entry cannot be extracted.");
    }
}

RunBoxKind RunBoxFor(int boxesBefore, bool quiet)
{
    if (quiet)
        return RunBoxKind::hidden;
    return boxesBefore == 0 ? RunBoxKind::plain : RunBoxKind::withRunChoices;
}

QString ScanStatusText(qsizetype found)
{
    return QStringLiteral("Searching for archives... %1 found").arg(found);
}

// ---------------------------------------------------------------- command line

CommandLine ParseCommandLine(const QStringList& arguments)
{
    CommandLine out;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Velmora Archive Extractor: lists ZIP, GZIP, TAR, RAR, CAB, ARJ, LZH and ARC archives and\n"
        "extracts ZIP, GZIP and TAR archives and xz, lzma, bzip2, zstd and compress files.\n"
        "Each FILE is put in the queue."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the program's version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("Archives to put in the queue."),
                                 QStringLiteral("[FILE...]"));
    if (!parser.parse(arguments)) {
        out.action = CommandLine::Action::usageError;
        out.output = parser.errorText() + QStringLiteral("\nTry \"velmora --help\".\n");
        return out;
    }
    if (parser.isSet(help)) {
        out.action = CommandLine::Action::help;
        out.output = parser.helpText();
        return out;
    }
    if (parser.isSet(version)) {
        out.action = CommandLine::Action::version;
        out.output = QString::fromLatin1(kWindowTitle) + QLatin1Char('\n');
        return out;
    }
    for (const QString& arg : parser.positionalArguments()) {
        const QFileInfo info(arg);
        if (info.isFile()) // follows links; true for regular files only
            out.files << info.absoluteFilePath();
        else
            out.rejected << arg;
    }
    return out;
}

QString RejectedArgumentsText(const QStringList& rejected)
{
    if (rejected.size() == 1)
        return QStringLiteral("\"%1\" was not put in the queue: there is no file of that name, or it is not a regular file.")
            .arg(rejected.first());
    return QStringLiteral("These were not put in the queue: there is no file of such a name, or it is not a regular file.\n")
           + rejected.join(QLatin1Char('\n'));
}

std::optional<QueueMenuState> QueueMenuFor(int queueCount, bool selectionEmpty, bool clipboardHasArchive)
{
    if (clipboardHasArchive) {
        // A pasteable archive name shows the menu whatever is selected.
        return QueueMenuState{true, queueCount >= 1, queueCount >= 2};
    }
    if (selectionEmpty)
        return std::nullopt;
    return QueueMenuState{false, true, queueCount != 1};
}

std::vector<SettingWrite> WritesOnChange(OptionControl changed, const Options& now)
{
    auto write = [](SettingKey k, const QString& v) {
        return SettingWrite{QString::fromLatin1(k.section), QString::fromLatin1(k.key), v};
    };
    auto flag = [](bool b) { return b ? QStringLiteral("1") : QStringLiteral("0"); };
    const QString storedPath = now.rememberPath ? now.outputPath : QString();

    std::vector<SettingWrite> out;
    switch (changed) {
    case OptionControl::selectAll:
        if (now.saveSettings)
            out.push_back(write(kKeySelectAll, flag(now.selectAll)));
        break;
    case OptionControl::overwrite:
        if (now.saveSettings)
            out.push_back(write(kKeyOverwrite, flag(now.overwrite)));
        break;
    case OptionControl::subFolders:
        if (now.saveSettings)
            out.push_back(write(kKeySubFolders, flag(now.subFolders)));
        break;
    case OptionControl::rememberPath:
        if (now.saveSettings)
            out.push_back(write(kKeyOutputPath, storedPath));
        break;
    case OptionControl::outputPath:
        if (now.saveSettings && now.rememberPath)
            out.push_back(write(kKeyOutputPath, now.outputPath));
        break;
    case OptionControl::saveSettings:
        if (now.saveSettings) {
            out.push_back(write(kKeySelectAll, flag(now.selectAll)));
            out.push_back(write(kKeyOverwrite, flag(now.overwrite)));
            out.push_back(write(kKeySubFolders, flag(now.subFolders)));
            out.push_back(write(kKeyOutputPath, storedPath));
            out.push_back(write(kKeySaveSettings, QStringLiteral("1")));
        } else {
            for (SettingKey k : {kKeySelectAll, kKeyOverwrite, kKeySubFolders, kKeyOutputPath, kKeySaveSettings})
                out.push_back(write(k, QString()));
        }
        break;
    }
    return out;
}

std::optional<bool> StoredCheckValue(const QString& text)
{
    const QString t = text.trimmed();
    if (t == QLatin1String("1"))
        return true;
    if (t == QLatin1String("0"))
        return false;
    return std::nullopt;
}

QString CleanPickedFolder(const QString& path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    return p;
}

namespace {

QString allSupportedFilter()
{
    QStringList patterns;
    for (std::string_view ext : kArchiveExtensions)
        patterns << QLatin1Char('*') + QLatin1String(ext.data(), qsizetype(ext.size()));
    return QStringLiteral("All supported archives (%1)").arg(patterns.join(QLatin1Char(' ')));
}

} // namespace

QStringList OpenDialogFilters()
{
    // The dialog matches patterns without regard to case, so "*.zip" also
    // shows names ending in ".ZIP".
    return {
        QStringLiteral("ZIP File (*.zip)"),
        allSupportedFilter(),
        QStringLiteral("All files (*)"),
    };
}

} // namespace velmora::app
