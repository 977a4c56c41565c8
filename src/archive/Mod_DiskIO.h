// Output files and folders: writing one extracted entry under the output
// folder (overwrite rule, folder chain, DOS time stamp, permissions), entry
// name containment, and the path helpers. POSIX only; a file is written to a
// temporary name and renamed over its target once complete.
#pragma once

#include "archive/ArchiveState.h"
#include "archive/DateTime.h"
#include "archive/OutputFile.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

// "/" on this system (a "\" only for a current folder written with nothing else).
std::string DetectPathSeparator();

// Sets the modification and access times of an existing file from local
// date-time values. Linux keeps no settable creation time, so Created is unused.
bool SetFileDates(const std::string& Path, const DateTime& Created, const DateTime& Modified,
                  const DateTime& Accessed);

// Modification time from the DOS words (local time), access time now.
bool SetFileDosTime(const std::string& Path, int16_t DosDate, int16_t DosTime);

// Rewrites "\" and "/" in Path to PathSeparator and returns its folder with a
// trailing separator (the current folder for a bare name), spelled as stored.
std::string FolderOfPath(ArchiveState& state, std::string& Path);

// Creates every missing folder of Path (absolute, or relative to the current
// folder); true when the whole chain exists afterwards.
bool MakeFolderChain(ArchiveState& state, const std::string& Path);

inline constexpr int16_t write_failed = -1;      // could not write; callers show their message
inline constexpr int16_t write_unsafe_path = -3; // entry name refused, nothing written
inline constexpr std::string_view unsafe_path_message = "Unsafe path skipped: ";

// Writes Data to ToPath/FileName, creating the folders it needs. 0 when
// written, or when skipped because the file exists and the overwrite option is
// off; write_failed when it could not be written (any earlier file of that name
// is left as it was); write_unsafe_path for a name that leaves the folder.
// DosDate/DosTime both 0: the file keeps the time of writing. UnixMode -1:
// default permissions; otherwise stored st_mode bits, of which only the rwx
// bits of user, group and other count, the owner always keeps read and write,
// and the process umask applies.
int16_t WriteOutputFile(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                        std::span<const uint8_t> Data, int16_t DosDate, int16_t DosTime, int32_t UnixMode = -1);
// The same with any time stamp. Checked false: the data failed its checks and
// is only written where no file of that name exists.
int16_t WriteOutputFile(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                        std::span<const uint8_t> Data, const FileStamp& Stamp, int32_t UnixMode = -1,
                        bool Checked = true);

// A symbolic link ToPath/FileName -> Target, made only when Target is
// relative and, resolved from the link's own folder, stays inside the output
// folder (unsafe_path otherwise, nothing made). The overwrite rule applies.
OutputStatus MakeSymbolicLink(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                              const std::string& Target);

// A hard link ToPath/FileName to the file ToPath/ExistingName (extracted
// earlier in the run); a copy where the file system cannot link.
OutputStatus MakeHardLink(ArchiveState& state, const std::string& FileName, std::string& ToPath,
                          const std::string& ExistingName);

// Folder for a directory entry: ToPath/EntryName with its chain, kept inside
// ToPath. 0 ok, write_failed when it could not be created, write_unsafe_path
// when refused.
int16_t MakeEntryFolder(ArchiveState& state, std::string& ToPath, const std::string& EntryName);

// The containment rule: EntryName with "\" read as a separator, leading
// separators and drive prefixes ("C:") dropped and "." segments removed,
// joined by "/". nullopt when a segment is ".." or holds a NUL byte. An empty
// result names the output folder itself.
std::optional<std::string> contained_entry_path(std::string_view EntryName);

// Folders opened during one extraction run are kept open, so that each file
// costs one open, write, time stamp, close and rename. UnPack calls begin at
// its start and end when it returns; without them every write opens its folders
// afresh.
void begin_output_run(ArchiveState& state);
void end_output_run(ArchiveState& state);

} // namespace velmora
