// Screen-free rules of the main window.
#include "app/WindowRules.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTime>

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

bool ImageFileCheck(const QString& strFileName)
{
    if (strFileName.size() < 3)
        return false;
    const QStringView tail = QStringView(strFileName).right(3);
    return tail == QLatin1String("zip") || tail == QLatin1String("ZIP");
}

QString TrailingSlash(const QString& strFolder)
{
    if (strFolder.isEmpty() || strFolder.endsWith(QLatin1Char('/')))
        return strFolder;
    return strFolder + QLatin1Char('/');
}

void RecursiveDir(QStringList& colFiles, QString& strFolder, const QString& strFileSpec,
                  bool bIncludeSubfolders)
{
    strFolder = TrailingSlash(strFolder);
    QDir dir(strFolder);
    if (!dir.exists())
        return;
    QStringList nameFilters;
    if (strFileSpec != QLatin1String("*.*") && strFileSpec != QLatin1String("*") && !strFileSpec.isEmpty())
        nameFilters << strFileSpec;
    // Without QDir::Hidden, names starting with "." are left out.
    const QStringList files = dir.entryList(nameFilters, QDir::Files, QDir::Name);
    for (const QString& name : files)
        colFiles.append(strFolder + name);
    if (!bIncludeSubfolders)
        return;
    const QStringList subs = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
    for (const QString& name : subs) {
        QString sub = strFolder + name;
        RecursiveDir(colFiles, sub, strFileSpec, true);
    }
}

QStringList FilesDirectlyIn(const QString& folder)
{
    QStringList out;
    const QString base = TrailingSlash(folder);
    const QStringList files = QDir(base).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& name : files)
        out.append(base + name);
    return out;
}

StartOutcome StartCheck(const StartInputs& in)
{
    if (in.queueCount < 1 && in.text1.isEmpty())
        return StartOutcome::openArchiveFirst;
    if (in.outputPath.isEmpty())
        return StartOutcome::enterOutputPath;
    if (!in.outputFolderExists)
        return StartOutcome::invalidOutputPath;
    if (in.rowCount < 1)
        return in.queueCount >= 1 ? StartOutcome::corruptArchive : StartOutcome::nothingToDo;
    if (!in.anyRowChecked)
        return StartOutcome::selectAtLeastOne;
    return StartOutcome::extract;
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
    case StartOutcome::extract:
        break;
    }
    return std::nullopt;
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

QStringList OpenDialogFilters()
{
    // The dialog matches patterns without regard to case, so "*.zip" also
    // shows names ending in ".ZIP".
    return {
        QStringLiteral("ZIP File (*.zip)"),
        QStringLiteral("All supported archives (*.zip *.gz *.tgz *.taz *.z *.tar *.rar *.cab *.arj *.lzh *.lha *.arc)"),
        QStringLiteral("All files (*)"),
    };
}

} // namespace velmora::app
