// The main window's rules that need no screen: size and date texts, which
// files the queue takes, folder scans, the Start command's checks, the queue
// menu's item states, the settings keys and write rules, the dialog filters,
// the end-of-run report, the per-entry message boxes of a run and the
// command line. frmMain wires these to its controls.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/DateTime.h"
#include "archive/ExtractionReport.h"
#include "archive/WindowServices.h"

#include <QLocale>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
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

// The name endings of every archive the program lists, lower case: the Open
// dialog's "All supported archives" and the queue's name test share them.
// ".z" covers compress's ".Z" (names are compared without regard to case).
inline constexpr std::array<std::string_view, 21> kArchiveExtensions = {
    ".zip", ".gz", ".tgz", ".taz", ".tar", ".rar", ".cab", ".arj", ".lzh", ".lha", ".arc",
    ".xz", ".txz", ".lzma", ".tlz", ".bz2", ".tbz", ".tbz2", ".zst", ".tzst", ".z"};

// True when the name ends in one of kArchiveExtensions, in any case (a.ZIP,
// b.Tgz). Drops, pastes and folder scans take only such names.
bool ImageFileCheck(const QString& strFileName);
// The same test on a file name's bytes (the folder scans' worker thread).
bool HasArchiveExtension(std::string_view name);

// "" stays ""; a text ending in "/" stays; anything else gets "/".
QString TrailingSlash(const QString& strFolder);

// Appends strFolder's regular files (names not starting with ".") that
// match strFileSpec ("*.*" or "*": every file), sorted by name; then, when
// bIncludeSubfolders, the same for each non-hidden sub-folder depth-first.
// Symbolic links to folders are not followed (they could loop), and pseudo
// file systems (/proc, /sys, ...) are not entered. strFolder comes back with
// a trailing "/". An unreadable folder adds nothing. The window's own scans
// run the same walk on a worker thread (FolderScanner).
void RecursiveDir(QStringList& colFiles, QString& strFolder, const QString& strFileSpec,
                  bool bIncludeSubfolders);

// Every regular file directly in folder, hidden ones included, sorted by
// name, as TrailingSlash(folder) + name.
QStringList FilesDirectlyIn(const QString& folder);

// What the Start command does with the inputs it checks, in its order.
enum class StartOutcome {
    openArchiveFirst,   // "Please open ZIP archive."
    enterOutputPath,    // "Please enter output path."
    invalidOutputPath,  // "Invalid output path."
    corruptArchive,     // "The selected ZIP File is corrupt.Please try again."
    nothingToDo,        // no rows and an empty queue: only the closing step runs
    selectAtLeastOne,   // "Please select at least one file to extract."
    createOutputFolder, // the run could go ahead but its folder does not exist yet: ask
    extract,
};

struct StartInputs {
    qsizetype queueCount = 0;
    QString text1;             // path of the last Open dialog
    QString outputPath;        // Text2
    bool outputFolderExists = false;
    // Nothing exists at the (absolute) output path yet, so it can be created.
    bool outputFolderCreatable = false;
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

// The question asked before a missing output folder is made (Yes makes the
// whole chain; No ends in "Invalid output path.").
QString CreateFolderQuestion(const QString& folder);
// Whether a typed output path may be created: absolute, and nothing (not even
// a dangling link) exists there.
bool OutputFolderCreatable(const QString& path);

// ---------------------------------------------------------------- end of a run

// What the window noted about a run besides the core's report.
struct RunNotes {
    int64_t messagesNotShown = 0; // per-entry boxes left out after "show no more"
    bool cancelledByUser = false; // the user answered Yes to "Do you want to cancel?"
};

struct RunSummary {
    QString title;
    QString text;
    bool failures = false; // some entry failed (damaged, wrong password, write error)
};

// The end-of-run box: nullopt for a run that extracted every selected entry
// and hid no message, and for a run the user cancelled that left out nothing
// for another reason. Otherwise how many entries were extracted and, one line
// per reason, how many were not ("3 entries use a compression method this
// program cannot extract: LZMA (2), BZip2 (1).").
std::optional<RunSummary> RunSummaryFor(const ExtractionReport& report, const RunNotes& notes);

// The tool tip of a contents row whose entry cannot be extracted.
QString BlockerToolTip(const ExtractBlocker& blocker);

// The per-entry boxes of a run: the first is a plain box; from the second on
// the box also offers to show no more messages in this run and to cancel the
// run; once either is chosen, no box shows until the run ends.
enum class RunBoxKind { plain, withRunChoices, hidden };
RunBoxKind RunBoxFor(int boxesBefore, bool quiet);

// The answers of a box that offers the run choices.
enum class RunMessageChoice { ok, showNoMore, cancelRun };
inline constexpr auto kShowNoMoreMessages = "Show no more messages in this run";
inline constexpr auto kCancelTheRun = "Cancel the run";
// The core's question when Cancel was pressed during a run.
inline constexpr auto kCancelQuestion = "Do you want to cancel?";

// ---------------------------------------------------------------- folder scans

// The status line of a running folder scan.
QString ScanStatusText(qsizetype found);

// ---------------------------------------------------------------- command line

struct CommandLine {
    enum class Action { run, help, version, usageError };
    Action action = Action::run;
    QStringList files;    // absolute paths of existing regular files, in order
    QStringList rejected; // arguments that are no existing regular file, as given
    QString output;       // the text --help, --version or a usage error prints
};
// arguments[0] is the program. Files are taken as they are named; anything
// that is not an existing regular file is rejected (named in one message).
CommandLine ParseCommandLine(const QStringList& arguments);
// The one message naming the rejected arguments.
QString RejectedArgumentsText(const QStringList& rejected);

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
