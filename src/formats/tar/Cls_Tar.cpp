// The tar reader: the header walk and member extraction.
#include "formats/tar/Cls_Tar.h"

#include "archive/RunMessages.h"
#include "archive/BinaryFile.h"
#include "archive/BufferedReader.h"
#include "archive/ExtractionRun.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFile.h"
#include "archive/TextDecoding.h"
#include "formats/tar/TarHeader.h"

#include <optional>

namespace velmora {

namespace {

// Long-name and pax records name one member; more than this is no name.
constexpr size_t max_record_data = 1 << 20;

// Members up to this size may be written by the run's writer thread.
constexpr uint64_t background_member_limit = uint64_t{1} << 20;

constexpr std::string_view size_error = "Error in decompressed size";
constexpr std::string_view write_error = "error writing file";
constexpr std::string_view folder_error = "error creating directory ";
constexpr std::string_view link_target_missing = "Link target not extracted: ";

std::string_view field_text(std::span<const uint8_t> block, size_t off, size_t len)
{
    return {reinterpret_cast<const char*>(block.data() + off), len};
}

// A text field up to its first NUL.
std::string c_string(std::span<const uint8_t> block, size_t off, size_t len)
{
    const std::string_view field = field_text(block, off, len);
    return std::string(field.substr(0, field.find('\0')));
}

bool is_special(char type)
{
    return type == tar_type::char_device || type == tar_type::block_device || type == tar_type::fifo
           || type == tar_type::gnu_volume;
}

} // namespace

void Cls_Tar::add_entry(TarEntry e)
{
    ListedEntry l;
    l.name = e.Name;
    l.comment = "Not Supported";
    l.method = "Stored";
    l.system_made_by = l.version_made_by = l.system_needed = l.version_needed = "UnKnown";
    l.compressed_size = l.uncompressed_size = e.Size;
    // A folder: a name ending in "/" with no data, or a folder member whose
    // writer left the "/" off.
    l.is_dir = (e.Size == 0 && !e.Name.empty() && e.Name.back() == '/') || e.Type == tar_type::directory;
    l.modified = DosDateTimeToDate(e.DosDate, e.DosTime);
    if (e.Type == tar_type::gnu_sparse)
        l.blocker = {OutcomeReason::unsupported_method, "GNU sparse file"};
    listing_.push_back(std::move(l));
    entries_.push_back(std::move(e));
    state_.PackTotFiles = static_cast<int32_t>(entries_.size());
    // Every member read so far stays listed, should a later header fail.
    state_.PackFileType = format_code::tar;
}

// Walks the headers. A number field that cannot be read throws walk_error.
void Cls_Tar::read_headers(const std::string& ZipName)
{
    BinaryFile file;
    if (!file.open(ZipName))
        return;
    BufferedReader in(file);

    // What GNU long-name/long-link records and pax headers hand to the next
    // member header; global pax records hold for every member after them.
    std::optional<std::string> long_name;
    std::optional<std::string> long_link;
    PaxRecords pax_global;
    PaxRecords pax_next;

    for (;;) {
        std::vector<uint8_t> block;
        if (!in.read(tar_field::block_size, block))
            break;
        const std::string raw_name = strip_nuls(std::span<const uint8_t>(block).subspan(tar_field::name, tar_field::name_len));
        if (raw_name.empty())
            break;

        const auto mtime = ParseOctal(field_text(block, tar_field::mtime, tar_field::mtime_len));
        const auto sum = ParseOctal(field_text(block, tar_field::chksum, tar_field::chksum_len));
        const auto size = ParseOctal(field_text(block, tar_field::size, tar_field::size_len));
        if (!mtime || !sum || !size || *size < 0)
            throw walk_error("tar number field out of range");
        const auto mode = ParseOctal(field_text(block, tar_field::mode, tar_field::mode_len));
        const char type = static_cast<char>(block[tar_field::typeflag]);
        const bool ustar = field_text(block, tar_field::magic, tar_field::magic_len) == ustar_magic;
        // The prefix ends at its first NUL: star keeps its atime and ctime in
        // the last 24 bytes of the field.
        const std::string prefix = ustar ? c_string(block, tar_field::prefix, tar_field::prefix_len) : std::string();
        const std::string link_field = c_string(block, tar_field::linkname, tar_field::linkname_len);

        PaxRecords pax = pax_global;
        pax.merge(pax_next);
        const bool record_type = type == tar_type::gnu_long_name || type == tar_type::gnu_long_link
                                 || type == tar_type::pax_extended || type == tar_type::pax_global;
        // A pax size stands for the member's own size field (which is 0 or
        // holds only what fits); records never take one.
        const int64_t data_size = !record_type && pax.size ? *pax.size : *size;

        const uint64_t data_start = in.pos();
        const uint64_t blocks = (static_cast<uint64_t>(data_size) + tar_field::block_size - 1) / tar_field::block_size;
        const uint64_t next_header = data_start + blocks * tar_field::block_size;

        if (record_type) {
            // Records that describe the next member (or, 'g', all that follow);
            // none of them is one.
            const uint64_t available = file.size() > data_start ? file.size() - data_start : 0;
            size_t want = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(*size), max_record_data));
            if (want > available)
                want = static_cast<size_t>(available);
            const std::vector<uint8_t> data = file.read_vector(data_start, want);
            if (type == tar_type::gnu_long_name || type == tar_type::gnu_long_link) {
                std::string text(data.begin(), data.end());
                text = text.substr(0, text.find('\0'));
                (type == tar_type::gnu_long_name ? long_name : long_link) = std::move(text);
            } else if (type == tar_type::pax_extended) {
                pax_next.merge(parse_pax(data));
            } else {
                pax_global.merge(parse_pax(data));
            }
            in.seek(next_header);
            continue;
        }

        TarEntry e;
        if (pax.path && !pax.path->empty())
            e.Name = decode_archive_text(*pax.path);
        else if (long_name && !long_name->empty())
            e.Name = decode_archive_text(*long_name);
        else if (!prefix.empty())
            e.Name = decode_archive_text(prefix + "/" + raw_name);
        else
            e.Name = decode_archive_text(raw_name);
        if (pax.linkpath)
            e.LinkName = *pax.linkpath;
        else if (long_link)
            e.LinkName = *long_link;
        else
            e.LinkName = link_field;
        pax_next = {};
        long_name.reset();
        long_link.reset();

        e.MTime = pax.mtime ? *pax.mtime : *mtime;
        e.MTimeNanoseconds = pax.mtime_nanoseconds.value_or(0);
        e.HeaderSum = *sum;
        UnixTimeToDos(e.MTime, e.DosDate, e.DosTime);
        e.Size = data_size;
        e.DataPos = data_start + 1;
        e.Mode = mode ? static_cast<int32_t>(*mode & 0777) : -1;
        e.Type = type;
        add_entry(std::move(e));
        in.seek(next_header);
    }
}

int16_t Cls_Tar::Get_Contents(const std::string& ZipName)
{
    start_listing(ZipName);
    entries_.clear();
    try {
        read_headers(ZipName);
    } catch (const walk_error&) {
        throw; // the dispatcher ends its call here, the members so far listed
    } catch (...) {
        // Out of memory: what was read stands.
    }
    return 0;
}

int16_t Cls_Tar::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    if (state_.PackTotFiles == 0 || ZippedFile.size() != static_cast<size_t>(state_.PackTotFiles) + 1)
        return -10;
    written_.clear();
    run_on_archive(state_, ZippedFile, MessageStyle::plain, write_error, [&](const BinaryFile& file, ExtractionRun& run) {
        const auto count = static_cast<int32_t>(std::min<size_t>(entries_.size(), static_cast<size_t>(state_.PackTotFiles)));
        run.each_selected(ZippedFile, count, [&](int32_t i) {
            extract_member(i, file, ToPath, run);
            return true;
        });
        return 0;
    });
    written_.clear();
    return 0;
}

void Cls_Tar::extract_member(int32_t k, const BinaryFile& file, std::string& ToPath, ExtractionRun& run)
{
    const TarEntry& e = entries_[static_cast<size_t>(k) - 1];
    ExtractionReport& report = run.report();
    const auto unsafe = [&] {
        run.message(std::string(unsafe_path_message) + e.Name);
        report.skipped(k, OutcomeReason::unsafe_name);
    };
    const auto rel = contained_entry_path(e.Name);
    if (!rel) {
        unsafe();
        return;
    }

    if (IsDir(k)) {
        const int16_t made = MakeEntryFolder(state_, ToPath, e.Name);
        if (made == write_unsafe_path) {
            unsafe();
        } else if (made != 0) {
            run.message(std::string(folder_error) + ToPath + e.Name);
            report.failed(k, OutcomeReason::write_error);
        } else {
            report.extracted(k);
        }
        return;
    }
    if (is_special(e.Type)) {
        // Devices and FIFOs are never made, and need no box.
        report.skipped(k, OutcomeReason::special_file);
        return;
    }
    if (e.Type == tar_type::gnu_sparse) {
        report.skipped(k, OutcomeReason::unsupported_method, "GNU sparse file");
        return;
    }

    const auto link_result = [&](OutputStatus status) {
        switch (status) {
        case OutputStatus::ok:
            written_.insert(*rel);
            report.extracted(k);
            break;
        case OutputStatus::not_written:
            report.skipped(k, OutcomeReason::not_overwritten);
            break;
        case OutputStatus::unsafe_path:
            run.message(std::string(unsafe_path_message) + e.Name);
            report.skipped(k, OutcomeReason::link_refused);
            break;
        case OutputStatus::failed:
            run.message(write_error);
            report.failed(k, OutcomeReason::write_error);
            break;
        }
    };
    if (e.Type == tar_type::symbolic_link) {
        link_result(MakeSymbolicLink(state_, e.Name, ToPath, e.LinkName));
        return;
    }
    if (e.Type == tar_type::hard_link) {
        const auto target = contained_entry_path(e.LinkName);
        if (!target || written_.count(*target) == 0) {
            run.message(std::string(link_target_missing) + e.Name);
            report.skipped(k, OutcomeReason::link_refused);
            return;
        }
        run.drain_background(); // the target must be on disk
        link_result(MakeHardLink(state_, e.Name, ToPath, e.LinkName));
        return;
    }

    // A member whose data runs past the end of the file is reported and not
    // written.
    const uint64_t start = e.DataPos - 1;
    const auto size = static_cast<uint64_t>(e.Size);
    if (start > file.size() || file.size() - start < size) {
        run.message(size_error);
        report.failed(k, OutcomeReason::damaged, "truncated");
        return;
    }
    if (run.background_writes() && size <= background_member_limit) {
        // A small member: read here, written by the run's writer thread.
        std::vector<uint8_t> data(static_cast<size_t>(size));
        if (file.read_at(start, data) != data.size()) {
            run.message(size_error);
            report.failed(k, OutcomeReason::damaged, "truncated");
            return;
        }
        const OutputStatus status = run.write_in_background(
            k, e.Name, ToPath, std::move(data), FileStamp::from_unix(e.MTime, e.MTimeNanoseconds), e.Mode, true);
        if (run.opened(status, k, e.Name)) {
            written_.insert(*rel);
            report.extracted(k);
        }
        return;
    }
    OutputFile out(state_);
    if (!run.opened(out.open(e.Name, ToPath, e.Mode), k, e.Name))
        return;
    // Member data is copied as it stands, by the kernel where it can.
    bool cancelled = false;
    const uint64_t copied = out.copy_from(file.descriptor(), start, size, [&](uint64_t done) {
        cancelled = !run.progress(done, size);
        return !cancelled;
    });
    if (cancelled) {
        report.skipped(k, OutcomeReason::cancelled);
        return; // the temporary file goes with `out`
    }
    if (out.write_failed()) {
        run.message(write_error);
        report.failed(k, OutcomeReason::write_error);
        return;
    }
    if (copied != size) {
        run.message(size_error);
        report.failed(k, OutcomeReason::damaged, "truncated");
        return;
    }
    const OutputStatus status = out.commit(FileStamp::from_unix(e.MTime, e.MTimeNanoseconds));
    if (status == OutputStatus::ok)
        written_.insert(*rel);
    run.committed(status, k, true);
}

} // namespace velmora
