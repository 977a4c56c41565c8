// The extraction run the catalogue readers share (LZH/LHA and ARJ; ARC and CAB
// follow the same steps): the pass loop, one outcome per selected entry, the
// run's password, folders and links, and each file streamed from the archive
// through the reader's decoder into a checked output file. The reader keeps
// only its own decisions: where an entry's data lies and how it is decoded.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/ArchiveState.h"
#include "archive/BinaryFile.h"
#include "archive/DateTime.h"
#include "archive/ExtractionRun.h"
#include "archive/ReaderBase.h"
#include "codecs/ByteStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// The check an entry's stored CRC takes: CRC-16/ARC (LZH, ARC), CRC-32 (ARJ),
// or none (CAB, whose data blocks carry checksums instead).
enum class entry_crc : uint8_t { crc16, crc32, none };

// A sink between the checks and the output file that keeps only part of an
// entry's bytes (MacLHA's MacBinary wrapper). finish() follows the last write.
class OutputFilter : public ByteSink {
public:
    virtual bool finish() = 0;
};

// One file entry as the reader's records describe it.
struct unpack_file {
    int32_t number = 0;
    std::string name;     // as listed; kept inside the output folder
    int32_t unix_mode = -1; // st_mode bits to apply (rwx only), -1 for the default
    FileStamp stamp;
    uint64_t size = 0;    // the size the decoder is to produce
    uint32_t crc = 0;
    entry_crc crc_kind = entry_crc::crc32;
    bool encrypted = false; // a failed check then counts as a wrong password
    bool stored = false;    // stored data: a short stream is a size fault only
    // Null, or the filter the checked bytes pass on their way to the file;
    // the CRC and size checks see every decoded byte.
    std::function<std::unique_ptr<OutputFilter>(ByteSink& file)> output_filter;
};

class CatalogueUnpack {
public:
    // Extracts entry FileNum; false ends the run at once (a refused password).
    using entry_fn = std::function<bool(int32_t FileNum, CatalogueUnpack& unpack)>;
    // Decodes the entry's data into `sink`; `attempt` picks the password form
    // (0 when the entry is not encrypted).
    using decode_fn = std::function<DecodeStatus(ByteSink& sink, size_t attempt)>;

    // UnPack for a catalogue reader: -10 for a selection that does not cover
    // the entries, -1 when a password was refused, 0 otherwise. `extract` is
    // called for each selected entry in order, with progress, yields and the
    // cancel question between entries.
    static int16_t run(ArchiveState& state, Selection& ZippedFile, std::string& ToPath, const entry_fn& extract);
    // run() over a reader's listed entries (entry k at listing[k - 1]): a
    // name that leaves the output folder is refused, a folder is made, an
    // entry the listing already blocks is skipped, and `extract` is called
    // for each file entry left.
    static int16_t run_listed(ArchiveState& state, const std::vector<ListedEntry>& listing, Selection& ZippedFile,
                              std::string& ToPath, const entry_fn& extract);

    const BinaryFile& archive() const { return archive_; }
    // A buffer kept for the run, for stored data (grows to at most 1 MiB).
    std::span<uint8_t> copy_buffer(uint64_t size);

    // False (the box shown, the entry skipped) when the name leaves the output folder.
    bool contained(int32_t FileNum, const std::string& name);
    void folder(int32_t FileNum, const std::string& name);
    // A symbolic link name -> target, refused when the target leaves the folder.
    void symbolic_link(int32_t FileNum, const std::string& name, const std::string& target);
    // What the listing already knew: an unsupported method, encryption or a
    // missing volume. No box.
    void skip(int32_t FileNum, const ExtractBlocker& blocker);
    // The entry's data cannot be found: the size box, the entry failed.
    void data_missing(int32_t FileNum, std::string_view detail);

    // The byte forms of the run's password (asked at the first encrypted
    // entry, once per run); null when none was given: "Invalid Password." has
    // been shown, the entry failed, and the run must end.
    const std::vector<std::string>* password(int32_t FileNum);

    // Writes one file: opened beside its target, decoded, checked (CRC and
    // size, with the format's boxes), and put in place. With `attempts` above
    // 1 a failed check tries the next password form before the entry is
    // reported.
    void file(const unpack_file& f, size_t attempts, const decode_fn& decode);

private:
    CatalogueUnpack(ArchiveState& state, const BinaryFile& archive, std::string& ToPath, ExtractionRun& run)
        : state_(state), archive_(archive), ToPath_(ToPath), run_(run)
    {
    }
    void write_failed(int32_t FileNum);
    void refused_name(int32_t FileNum, const std::string& name, OutcomeReason reason);

    ArchiveState& state_;
    const BinaryFile& archive_;
    std::string& ToPath_;
    ExtractionRun& run_;
    std::vector<uint8_t> buffer_;
    std::vector<std::string> password_; // empty until asked
    bool password_asked_ = false;
};

} // namespace velmora
