// The main window's rules that need no screen: size and date texts, which
// files the queue takes, folder scans, the Start command's checks, the queue
// menu's item states, the settings keys and write rules, the dialog filters.
// frmMain wires these to its controls.
#pragma once

#include "archive/DateTime.h"
#include "archive/WindowServices.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::app {

inline constexpr auto kWindowTitle = "Velmora Archive Extractor 1.0";

// Size text of the "Zipped Size" and "File Size" columns: eleven bands that
// change at 1,000 of the previous unit (KB = 1,024 bytes, MB = 1,024 KB, ...),
// with two, one or no decimals in the locale's decimal separator.
QString FormatSize(int64_t size, const QLocale& locale = QLocale());

// The "Modified" text: the locale's short date with a four-digit year, a
// blank and its long time without a time-zone name; at midnight the date alone.
QString DateText(const DateTime& value, const QLocale& locale = QLocale());

// DateText for many values: the locale's formats worked out once, and the
// last value's text kept (archive entries often share a time stamp).
class DateTextFormatter {
public:
    explicit DateTextFormatter(const QLocale& locale = QLocale());
    QString operator()(const DateTime& value);

private:
    QLocale locale_;
    QString dateFormat_;
    QString timeFormat_;
    DateTime last_{};
    QString lastText_;
    bool haveLast_ = false;
};

// True when the name's last three characters are "zip" or "ZIP" (exactly
// these two spellings; no dot needed).
bool ImageFileCheck(const QString& strFileName);

// "" stays ""; a text ending in "/" stays; anything else gets "/".
QString TrailingSlash(const QString& strFolder);

// Appends strFolder's files (names not starting with ".") that match
// strFileSpec ("*.*" or "*": every file), sorted by name; then, when
// bIncludeSubfolders, the same for each non-hidden sub-folder depth-first.
// Symbolic links to folders are not followed (they could loop). strFolder
// comes back with a trailing "/". An unreadable folder adds nothing.
void RecursiveDir(QStringList& colFiles, QString& strFolder, const QString& strFileSpec,
                  bool bIncludeSubfolders);

// Every file directly in folder, hidden ones included, sorted by name, as
// TrailingSlash(folder) + name.
QStringList FilesDirectlyIn(const QString& folder);

// What the Start command does with the inputs it checks, in its order.
enum class StartOutcome {
    openArchiveFirst,   // "Please open ZIP archive."
    enterOutputPath,    // "Please enter output path."
    invalidOutputPath,  // "Invalid output path."
    corruptArchive,     // "The selected ZIP File is corrupt.Please try again."
    nothingToDo,        // no rows and an empty queue: only the closing step runs
    selectAtLeastOne,   // "Please select at least one file to extract."
    extract,
};

struct StartInputs {
    qsizetype queueCount = 0;
    QString text1;             // path of the last Open dialog
    QString outputPath;        // Text2
    bool outputFolderExists = false;
    qsizetype rowCount = 0;
    bool anyRowChecked = false;
};

StartOutcome StartCheck(const StartInputs& in);

struct BoxMessage {
    QString text;
    QString title;
    MessageIcon icon;
};
// The box of an outcome that stops the command; nullopt for the others.
std::optional<BoxMessage> StartMessage(StartOutcome outcome);

// Enabled states of the queue's pop-up menu, or nullopt when no menu shows.
struct QueueMenuState {
    bool paste = false;
    bool remove = false;     // "Delete"
    bool removeAll = false;  // "Delete All"
    bool operator==(const QueueMenuState&) const = default;
};
std::optional<QueueMenuState> QueueMenuFor(int queueCount, bool selectionEmpty,
                                           bool clipboardHasArchive);

// Settings store: sections and keys.
struct SettingKey {
    const char* section;
    const char* key;
};
inline constexpr SettingKey kKeySelectAll{"checkboxselectall", "userselectfiles"};
inline constexpr SettingKey kKeyOverwrite{"checkboxoverwrite", "overwriteuserfiles"};
inline constexpr SettingKey kKeySubFolders{"checkboxfolders", "usersubfolders"};
inline constexpr SettingKey kKeyOutputPath{"checkboxoutputpath", "savefiles"};
inline constexpr SettingKey kKeySaveSettings{"checkboxsettings", "userssettings"};

// The option values the write rules look at.
struct Options {
    bool selectAll = true;
    bool overwrite = true;
    bool subFolders = false;
    bool saveSettings = true;
    bool rememberPath = false;
    QString outputPath;
};

enum class OptionControl { selectAll, overwrite, subFolders, rememberPath, saveSettings, outputPath };

struct SettingWrite {
    QString section;
    QString key;
    QString value;
    bool operator==(const SettingWrite&) const = default;
};

// The writes a change of one control makes, in order, given the values after
// the change.
std::vector<SettingWrite> WritesOnChange(OptionControl changed, const Options& now);

// A stored check box text: "1" or "0" (blanks around allowed); nullopt for
// anything else, which leaves the control at its default.
std::optional<bool> StoredCheckValue(const QString& text);

// The folder dialog's answer as Text2 takes it: without a trailing "/"
// (the root "/" keeps it).
QString CleanPickedFolder(const QString& path);

// Filters of the Open dialog; the first is the one selected.
QStringList OpenDialogFilters();

} // namespace velmora::app
