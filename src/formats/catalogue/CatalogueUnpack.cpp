// The catalogue readers' extraction run: the ZIP reader's steps and check
// texts, for formats that store a CRC-16 or a CRC-32 per entry.
#include "formats/catalogue/CatalogueUnpack.h"

#include "archive/RunMessages.h"
#include "archive/Cls_CRC32.h"
#include "archive/EntrySink.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFile.h"
#include "archive/TextDecoding.h"
#include "codecs/Crc16.h"

#include <algorithm>

namespace velmora {

namespace {


constexpr int16_t unmatched_selection_result = -10;
constexpr int16_t password_result = -1;

// Stored data is copied through a buffer of at most this size.
constexpr size_t copy_buffer_max = size_t{1} << 20;

// The CRC and the count of the bytes on their way to the entry's sink (or
// its output filter).
class checked_sink final : public ByteSink {
public:
    checked_sink(ByteSink& inner, entry_crc kind) : inner_(inner), kind_(kind) {}
    bool write(std::span<const uint8_t> data) override
    {
        crc_ = kind_ == entry_crc::crc16 ? crc16_update(static_cast<uint16_t>(crc_), data) : crc32_update(crc_, data);
        size_ += data.size();
        return inner_.write(data);
    }
    uint32_t crc() const { return crc_; }
    uint64_t size() const { return size_; }

private:
    ByteSink& inner_;
    entry_crc kind_;
    uint32_t crc_ = 0;
    uint64_t size_ = 0;
};

bool is_ascii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The byte forms a typed password may have been set in: as typed (UTF-8, the
// Linux tools); otherwise also code page 437 (DOS) and Windows-1252.
std::vector<std::string> password_forms(const std::string& typed)
{
    std::vector<std::string> out{typed};
    if (is_ascii(typed))
        return out;
    for (auto form : {utf8_to_cp437(typed), utf8_to_cp1252(typed)})
        if (form && std::find(out.begin(), out.end(), *form) == out.end())
            out.push_back(std::move(*form));
    return out;
}

} // namespace

int16_t CatalogueUnpack::run(ArchiveState& state, Selection& ZippedFile, std::string& ToPath, const entry_fn& extract)
{
    if (state.PackTotFiles <= 0 || ZippedFile.size() != static_cast<size_t>(state.PackTotFiles) + 1)
        return unmatched_selection_result;
    return run_on_archive(state, ZippedFile, MessageStyle::error_box, run_text::write_error,
                          [&](const BinaryFile& archive, ExtractionRun& run) -> int16_t {
        CatalogueUnpack unpack(state, archive, ToPath, run);
        for (int32_t i = 0; i <= state.PackTotFiles; ++i) {
            if (!run.pass(i))
                return 0;
            if (i >= 1 && ZippedFile[static_cast<size_t>(i)] && !extract(i, unpack))
                return password_result;
            if (run.cancelled())
                return 0;
            run.end_pass();
        }
        return 0;
    });
}

int16_t CatalogueUnpack::run_listed(ArchiveState& state, const std::vector<ListedEntry>& listing, Selection& ZippedFile,
                                    std::string& ToPath, const entry_fn& extract)
{
    return run(state, ZippedFile, ToPath, [&](int32_t k, CatalogueUnpack& unpack) {
        if (static_cast<size_t>(k) > listing.size())
            return true;
        const ListedEntry& l = listing[static_cast<size_t>(k) - 1];
        if (!unpack.contained(k, l.name))
            return true;
        if (l.is_dir) {
            unpack.folder(k, l.name);
            return true;
        }
        if (l.blocker) {
            unpack.skip(k, l.blocker);
            return true;
        }
        return extract(k, unpack);
    });
}

std::span<uint8_t> CatalogueUnpack::copy_buffer(uint64_t size)
{
    const size_t want = static_cast<size_t>(std::clamp<uint64_t>(size, 4096, copy_buffer_max));
    if (buffer_.size() < want)
        buffer_.resize(want);
    return buffer_;
}

void CatalogueUnpack::refused_name(int32_t FileNum, const std::string& name, OutcomeReason reason)
{
    run_.message(std::string(unsafe_path_message) + name);
    run_.report().skipped(FileNum, reason);
}

void CatalogueUnpack::write_failed(int32_t FileNum)
{
    run_.message(run_text::write_error);
    run_.report().failed(FileNum, OutcomeReason::write_error);
}

bool CatalogueUnpack::contained(int32_t FileNum, const std::string& name)
{
    if (contained_entry_path(name))
        return true;
    refused_name(FileNum, name, OutcomeReason::unsafe_name);
    return false;
}

void CatalogueUnpack::folder(int32_t FileNum, const std::string& name)
{
    const int16_t made = MakeEntryFolder(state_, ToPath_, name);
    if (made == write_unsafe_path)
        refused_name(FileNum, name, OutcomeReason::unsafe_name);
    else if (made != 0)
        write_failed(FileNum);
    else
        run_.report().extracted(FileNum);
}

void CatalogueUnpack::symbolic_link(int32_t FileNum, const std::string& name, const std::string& target)
{
    switch (MakeSymbolicLink(state_, name, ToPath_, target)) {
    case OutputStatus::ok: run_.report().extracted(FileNum); break;
    case OutputStatus::not_written: run_.report().skipped(FileNum, OutcomeReason::not_overwritten); break;
    case OutputStatus::unsafe_path: refused_name(FileNum, name, OutcomeReason::link_refused); break;
    case OutputStatus::failed: write_failed(FileNum); break;
    }
}

void CatalogueUnpack::skip(int32_t FileNum, const ExtractBlocker& blocker)
{
    run_.report().skipped(FileNum, blocker.reason, blocker.detail);
}

void CatalogueUnpack::data_missing(int32_t FileNum, std::string_view detail)
{
    run_.message(run_text::size_error);
    run_.report().failed(FileNum, OutcomeReason::damaged, detail);
}

const std::vector<std::string>* CatalogueUnpack::password(int32_t FileNum)
{
    if (!password_asked_) {
        password_asked_ = true;
        const std::string typed = state_.window->input_box(run_text::password_prompt, run_text::password_title);
        if (!typed.empty())
            password_ = password_forms(typed);
    }
    if (!password_.empty())
        return &password_;
    run_.program_message(run_text::invalid_password);
    run_.report().failed(FileNum, OutcomeReason::wrong_password);
    return nullptr;
}

void CatalogueUnpack::file(const unpack_file& f, size_t attempts, const decode_fn& decode)
{
    ExtractionReport& report = run_.report();
    state_.window->yield();
    // Small entries are decoded into memory and handed to the writer thread
    // when the run spaces its window updates; others stream to their file.
    const bool in_memory = run_.background_writes() && f.size <= ExtractionRun::background_entry_limit;
    OutputFile out(state_);
    std::vector<uint8_t> memory;
    const auto open_failed = [&](OutputStatus s) {
        switch (s) {
        case OutputStatus::ok: return false;
        case OutputStatus::not_written: report.skipped(f.number, OutcomeReason::not_overwritten); break;
        case OutputStatus::unsafe_path: refused_name(f.number, f.name, OutcomeReason::unsafe_name); break;
        case OutputStatus::failed: write_failed(f.number); break;
        }
        return true;
    };
    DecodeStatus status = DecodeStatus::ok;
    bool crc_ok = false;
    bool checks_passed = false;
    uint64_t produced = 0;
    attempts = std::max<size_t>(attempts, 1);
    for (size_t attempt = 0; attempt < attempts; ++attempt) {
        if (!in_memory && open_failed(out.open(f.name, ToPath_, f.unix_mode)))
            return;
        memory.clear();
        EntrySink sink(run_, in_memory ? nullptr : &out, f.size);
        if (in_memory)
            sink.keep_in(&memory);
        // EntrySink takes the CRC-32 of what reaches it; a CRC-16, or bytes
        // that a filter holds back, are checked on the way in, and an entry
        // without a CRC needs none.
        const bool checked_on_the_way_in = f.crc_kind == entry_crc::crc16 || f.output_filter;
        if (checked_on_the_way_in || f.crc_kind == entry_crc::none)
            sink.without_crc();
        uint32_t crc = 0;
        const std::unique_ptr<OutputFilter> filter = f.output_filter ? f.output_filter(sink) : nullptr;
        if (checked_on_the_way_in) {
            checked_sink checked(filter ? static_cast<ByteSink&>(*filter) : sink, f.crc_kind);
            status = decode(checked, attempt);
            if (status == DecodeStatus::ok && filter && !filter->finish())
                status = DecodeStatus::stopped;
            crc = checked.crc();
            produced = checked.size();
        } else {
            status = decode(sink, attempt);
            crc = sink.crc();
            produced = sink.size();
        }
        if (sink.ended_by_run(f.number, run_text::write_error))
            return; // the temporary file goes with `out`
        crc_ok = f.crc_kind == entry_crc::none || (produced < 1 ? f.crc == 0 : crc == f.crc);
        checks_passed = status == DecodeStatus::ok && crc_ok && produced == f.size;
        // A garbled entry has no password check of its own: the CRC tells,
        // and the next byte form of the password gets its turn.
        if (checks_passed || attempt + 1 == attempts)
            break;
        out.discard();
    }

    if (status != DecodeStatus::ok) {
        // Nothing usable came out, and nothing is written. Stored data cut
        // short is only a size fault.
        if (!(f.stored && status == DecodeStatus::truncated))
            run_.message(run_text::crc_failed);
        run_.message(run_text::size_error);
        report.failed(f.number, f.encrypted ? OutcomeReason::wrong_password : OutcomeReason::damaged,
                      decode_status_name(status));
        return;
    }
    if (!crc_ok)
        run_.message(produced < 1 ? run_text::crc_error : run_text::crc_failed);
    if (produced != f.size)
        run_.message(run_text::size_error);
    const auto failed_as = [&] {
        report.failed(f.number, f.encrypted && !crc_ok ? OutcomeReason::wrong_password : OutcomeReason::damaged,
                      crc_ok ? "size" : "CRC");
    };
    OutputStatus placed = OutputStatus::ok;
    if (in_memory) {
        placed = run_.write_in_background(f.number, f.name, ToPath_, std::move(memory), f.stamp, f.unix_mode,
                                          checks_passed);
        // Refusals are known at once; a failed write is reported by the run.
        if (placed == OutputStatus::unsafe_path || placed == OutputStatus::failed
            || (placed == OutputStatus::not_written && checks_passed)) {
            open_failed(placed);
            return;
        }
    } else {
        placed = out.commit(f.stamp, checks_passed);
    }
    switch (placed) {
    case OutputStatus::ok:
        if (checks_passed)
            report.extracted(f.number);
        else
            failed_as();
        break;
    case OutputStatus::not_written:
        if (checks_passed)
            report.skipped(f.number, OutcomeReason::not_overwritten);
        else
            failed_as();
        break;
    default:
        write_failed(f.number);
        break;
    }
}

} // namespace velmora
