// Extraction of the selected entries of the loaded ZIP archive (PKWARE APPNOTE
// 4.3.7-4.3.9, 4.4.4-4.4.5, traditional encryption 6.1, WinZip AES as WinZip
// documents AE-1 and AE-2). Entries stream from
// the archive through decryption and the decoder to a temporary file, the
// CRC taken on the way, whatever their size. Names are kept inside the output
// folder; entries whose stored bytes overlap another entry's are refused; data
// that cannot be decoded leaves nothing behind, and data that fails its checks
// never replaces an existing file.
#include "formats/zip/Cls_Zip.h"

#include "archive/RunMessages.h"
#include "archive/BinaryFile.h"
#include "archive/ByteFields.h"
#include "archive/EntrySink.h"
#include "archive/ExtractionRun.h"
#include "archive/FileRangeSource.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFile.h"
#include "archive/TextDecoding.h"
#include "codecs/Bzip2Decoder.h"
#include "codecs/ImplodeDecoder.h"
#include "codecs/InflateDecoder.h"
#include "codecs/LzmaDecoder.h"
#include "codecs/Ppmd8Decoder.h"
#include "codecs/ShrinkDecoder.h"
#include "codecs/StoredCopy.h"
#include "codecs/UnreduceDecoder.h"
#include "codecs/WinZipAesSource.h"
#include "codecs/XzDecoder.h"
#include "codecs/ZstdDecoder.h"
#include "formats/zip/ZipCryptoSource.h"
#include "formats/zip/zip_records.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>

namespace velmora {

namespace {

constexpr std::string_view error_title = "Error";
constexpr std::string_view zip_file_error = "Error in Zip File.";
constexpr std::string_view write_error = "Error writing zip file";

constexpr int16_t unsupported_method_result = -10;
constexpr int16_t password_result = -1;

// The traditional encryption header in front of the stored data (APPNOTE 6.1.3).
constexpr size_t encryption_header = 12;
constexpr size_t check_byte = encryption_header - 1;

// The largest output Reduce can give per stored byte. Every code byte costs at
// least 2 bits (a flag bit and a 1-bit index into a one-member follower set),
// and the longest copy is DLE, V, E, D: 4 codes, 8 bits, for
// (length mask + 255 + 3) bytes, the length mask being 127 for factor 1.
constexpr uint64_t reduce_min_code_bits = 2;
constexpr uint64_t reduce_longest_copy = 127 + 255 + 3;
constexpr uint64_t reduce_max_expansion = reduce_longest_copy / (4 * reduce_min_code_bits / 8);
static_assert(reduce_max_expansion == 385);

// Entries up to this size (with their local header) are read in one piece;
// the slack covers local extra fields longer than the central ones (Info-ZIP
// writes longer time and owner fields locally).
constexpr uint64_t small_entry_limit = uint64_t{1} << 16;
constexpr uint64_t small_entry_slack = 64;


// Pieces in which stored entries are copied; a symbolic link's target is
// never longer than this.
constexpr size_t copy_buffer_size = size_t{1} << 20;
constexpr size_t link_target_max = 4096;

constexpr uint32_t unix_type_mask = 0170000; // S_IFMT
constexpr uint32_t unix_regular_file = 0100000;
constexpr uint32_t unix_symbolic_link = 0120000;

// The permission bits a written file takes: those of a regular file made on
// UNIX; a device or other special entry is written as a plain file with
// default permissions.
int32_t file_mode(const ZipEntry& e)
{
    const int32_t mode = zip_unix_mode(e);
    if (mode <= 0)
        return -1;
    const uint32_t type = static_cast<uint32_t>(mode) & unix_type_mask;
    return type == 0 || type == unix_regular_file ? mode : -1;
}

bool is_symbolic_link(const ZipEntry& e)
{
    const int32_t mode = zip_unix_mode(e);
    return mode > 0 && (static_cast<uint32_t>(mode) & unix_type_mask) == unix_symbolic_link;
}

// The methods of the original table (0-10): those not extracted (7, 10)
// mark the result.
bool is_listed_method(int16_t method) { return method >= 0 && method <= 10; }

// LZMA (APPNOTE 5.8.8): flags bit 1 says the data ends with an end marker.
constexpr uint16_t flag_lzma_end_marker = 0x0002;

bool is_ascii(std::string_view s)
{
    for (const char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// The byte forms a typed password may have been set in: ASCII as it is;
// otherwise UTF-8 (Linux tools), Windows-1252, then code page 437 (DOS).
std::vector<std::string> password_candidates(const std::string& password)
{
    std::vector<std::string> out{password};
    if (is_ascii(password))
        return out;
    if (auto b = utf8_to_cp1252(password))
        out.push_back(std::move(*b));
    if (auto b = utf8_to_cp437(password))
        out.push_back(std::move(*b));
    return out;
}

} // namespace

struct Cls_Zip::UnpackRun {
    UnpackRun(const BinaryFile& a, std::string& to, ExtractionRun& r) : archive(a), ToPath(to), run(r) {}

    const BinaryFile& archive;
    std::string& ToPath;
    ExtractionRun& run;
    std::string password; // asked at the first encrypted entry, kept for the call
    int16_t result = 0;
    std::vector<bool> overlapping; // entry k at k - 1
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> prefetch;              // a small entry read with its local header
    std::span<const uint8_t> prefetched;        // its stored bytes, when all of them came
    std::unique_ptr<InflateDecoder> inflate[2]; // Deflate, Deflate64
    // The other decoders, made at their method's first entry and kept for
    // the run (their tables and windows are allocated once).
    std::unique_ptr<UnreduceDecoder> unreduce[4]; // methods 2-5
    std::unique_ptr<ShrinkDecoder> shrink;
    std::unique_ptr<ImplodeDecoder> implode;
    std::unique_ptr<Bzip2Decoder> bzip2;
    std::unique_ptr<LzmaDecoder> lzma;
    std::unique_ptr<ZstdDecoder> zstd;
    std::unique_ptr<XzDecoder> xz;
    std::unique_ptr<Ppmd8Decoder> ppmd;
};

void Cls_Zip::show_error(std::string_view text) const
{
    state_.window->message_box(text, error_title, MessageIcon::information);
}

int16_t Cls_Zip::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // Nothing loaded, or a selection that does not cover exactly the entries.
    if (state_.PackTotFiles <= 0 || ZippedFile.size() != static_cast<size_t>(state_.PackTotFiles) + 1)
        return -10;

    int16_t result = 0;
    try {
        BinaryFile archive;
        if (!archive.open(state_.PackFileName)) {
            // Moved, deleted or unmounted since it was listed: one box, and
            // the run ends.
            show_error(zip_file_error);
            for (int32_t k = 1; k <= state_.PackTotFiles; ++k)
                if (ZippedFile[static_cast<size_t>(k)])
                    state_.report.failed(k, OutcomeReason::archive_unreadable);
            return 0;
        }
        ExtractionRun run(state_, MessageStyle::error_box, write_error);
        UnpackRun unpack{archive, ToPath, run};
        find_overlaps(unpack);

        for (int32_t i = 0; i <= state_.PackTotFiles; ++i) {
            if (!run.pass(i))
                return unpack.result;
            result = unpack.result;
            if (ZippedFile[static_cast<size_t>(i)] && !extract_entry(i, unpack))
                return unpack.result;
            result = unpack.result;
            if (run.cancelled())
                return unpack.result;
            run.end_pass();
        }
        return unpack.result;
    } catch (...) {
        // Nothing escapes to the window; the result so far stands.
        return result;
    }
}

void Cls_Zip::find_overlaps(UnpackRun& run)
{
    // Each entry's local header and stored bytes must end before the next
    // entry's local header (or the central directory) starts: the "better zip
    // bomb" has many entries share one stream, each header inside another
    // entry's data.
    const size_t n = Entries.size();
    run.overlapping.assign(n, false);
    std::vector<uint64_t> starts;
    starts.reserve(n);
    for (const ZipEntry& e : Entries)
        starts.push_back(e.LocalHeaderOffset);
    std::sort(starts.begin(), starts.end());
    for (size_t k = 0; k < n; ++k) {
        const ZipEntry& e = Entries[k];
        if (listing_[k].is_dir && e.CompressedSize == 0)
            continue;
        const auto first = std::lower_bound(starts.begin(), starts.end(), e.LocalHeaderOffset);
        const auto next = std::upper_bound(first, starts.end(), e.LocalHeaderOffset);
        const bool shared = next - first > 1;
        uint64_t limit = next == starts.end() ? UINT64_MAX : *next;
        if (directory_offset_ > e.LocalHeaderOffset)
            limit = std::min(limit, directory_offset_);
        const uint64_t end = e.LocalHeaderOffset + zip::local::size + e.CompressedSize;
        run.overlapping[k] = shared || end < e.LocalHeaderOffset || end > limit;
    }
}

DecodeStatus Cls_Zip::decode_data(int16_t method, const ZipEntry& e, ByteSource& source, ByteSink& sink,
                                  uint64_t data_size, UnpackRun& run)
{
    const uint64_t size = e.UncompressedSize;
    const auto flags = static_cast<uint16_t>(e.Flags);
    // Each decoder is made at its method's first entry and kept for the run.
    const auto get = [](auto& decoder, auto&&... args) -> auto& {
        if (!decoder)
            decoder = std::make_unique<typename std::remove_reference_t<decltype(decoder)>::element_type>(args...);
        return *decoder;
    };
    switch (method) {
    case 0: {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(copy_buffer_size, std::max<uint64_t>(data_size, 1)));
        if (run.buffer.size() < want)
            run.buffer.resize(want);
        return copy_stored(source, sink, data_size, run.buffer);
    }
    case 1:
        return get(run.shrink).decode(source, sink, size);
    case 2:
    case 3:
    case 4:
    case 5: {
        // More output than the stored bits can give would only be zero bits
        // read past the end; such an entry is refused.
        if (size > reduce_max_expansion * (data_size + 1))
            return DecodeStatus::output_limit;
        UnreduceDecoder& decoder = get(run.unreduce[method - 2], method);
        const DecodeStatus status = decoder.decode(source, sink, size);
        // The status the whole-entry Unreduce gave: -1 for a decode that
        // ended early after a follower set declared more than 32 members.
        run.result = status != DecodeStatus::ok && decoder.follower_count_cut() ? -1 : 0;
        return status;
    }
    case 6:
        return get(run.implode).decode(source, sink, size, flags);
    case 8:
    case 9:
        return get(run.inflate[method == 9 ? 1 : 0], method == 9, inflate_rules::whole_entry, state_.window)
            .decode(source, sink, size);
    case 12:
        return get(run.bzip2, Bzip2Decoder::Streams::single).decode(source, sink, size);
    case 14:
        return get(run.lzma).decode(source, sink, size, (flags & flag_lzma_end_marker) != 0);
    case 93:
        return get(run.zstd).decode(source, sink, size);
    case 95:
        return get(run.xz, XzDecoder::Streams::single).decode(source, sink, size);
    case 98:
        return get(run.ppmd).decode(source, sink, size);
    default:
        return DecodeStatus::unsupported;
    }
}

uint64_t Cls_Zip::locate_data(int32_t FileNum, const ZipEntry& e, UnpackRun& run)
{
    ExtractionReport& report = run.run.report();
    // A small entry comes in one read together with its local header, on
    // the guess that the local name and extra field are about as long as the
    // central ones; a large one (or a wrong guess) is read as it is decoded.
    const uint64_t guess = zip::local::size + e.name_length + e.extra_length + small_entry_slack + e.CompressedSize;
    const size_t first = static_cast<size_t>(std::min<uint64_t>(guess, small_entry_limit));
    if (run.prefetch.size() < first)
        run.prefetch.resize(first);
    const size_t got = run.archive.read_at(e.LocalHeaderOffset, std::span<uint8_t>(run.prefetch.data(), first));
    run.prefetched = {};
    if (got < zip::local::size || load_le32(run.prefetch.data()) != zip::local_header_signature) {
        show_error(zip_file_error);
        report.failed(FileNum, OutcomeReason::damaged, "local header");
        return 0;
    }
    const uint64_t header_size = zip::local::size + load_le16(run.prefetch.data() + zip::local::name_length)
                                 + load_le16(run.prefetch.data() + zip::local::extra_length);
    const uint64_t data_start = e.LocalHeaderOffset + header_size;
    // Stored bytes past the end of the archive cannot be read: the entry
    // ends with the size message and nothing is written.
    const uint64_t size = run.archive.size();
    if (data_start > size || e.CompressedSize > size - data_start) {
        show_error(run_text::size_error);
        report.failed(FileNum, OutcomeReason::damaged, "truncated");
        return 0;
    }
    if (header_size + e.CompressedSize <= got)
        run.prefetched = std::span<const uint8_t>(run.prefetch.data() + header_size, static_cast<size_t>(e.CompressedSize));
    return data_start;
}

bool Cls_Zip::extract_entry(int32_t FileNum, UnpackRun& run)
{
    const ZipEntry* found = entry(FileNum);
    if (!found)
        return true;
    const ZipEntry& e = *found;
    const ListedEntry& l = listing_[static_cast<size_t>(FileNum) - 1];
    ExtractionReport& report = run.run.report();
    WindowServices& w = *state_.window;

    // Names that would leave the output folder are refused before any work.
    if (!contained_entry_path(l.name)) {
        show_error(std::string(unsafe_path_message) + l.name);
        report.skipped(FileNum, OutcomeReason::unsafe_name);
        return true;
    }
    if (l.is_dir) {
        const int16_t made = MakeEntryFolder(state_, run.ToPath, l.name);
        if (made == write_unsafe_path) {
            show_error(std::string(unsafe_path_message) + l.name);
            report.skipped(FileNum, OutcomeReason::unsafe_name);
        } else if (made != 0) {
            // A folder that cannot be made shows up when its files are written.
            report.failed(FileNum, OutcomeReason::write_error);
        } else {
            report.extracted(FileNum);
        }
        return true;
    }

    // Methods not extracted (Tokenize, PKWARE DCL Implode, unknown ones, AES
    // without its extra field) are passed over before anything is read, so
    // such an entry asks for no password.
    const int16_t method = zip_data_method(e);
    if (l.blocker.reason != OutcomeReason::none) {
        if (is_listed_method(method))
            run.result = unsupported_method_result;
        report.skipped(FileNum, l.blocker.reason, l.blocker.detail);
        return true;
    }
    const uint64_t data_start = locate_data(FileNum, e, run);
    if (data_start == 0)
        return true;
    if (run.overlapping[static_cast<size_t>(FileNum) - 1]) {
        show_error(zip_file_error);
        report.failed(FileNum, OutcomeReason::damaged, "overlapping data");
        return true;
    }

    // Traditional encryption: the password, then the keys of every byte form
    // it may have been set in whose check byte matches. WinZip AES: the byte
    // form whose password verifier matches, found before anything is decoded.
    const WinZipAesExtra* const aes = e.Method == 99 && e.aes ? &*e.aes : nullptr;
    const bool encrypted = !aes && (static_cast<uint16_t>(e.Flags) & zip::flag_encrypted) != 0;
    std::vector<Cls_Encrypt> keys;
    std::string aes_password;
    const auto refuse = [&] {
        run.result = password_result;
        w.message_box(run_text::invalid_password, program_title, MessageIcon::information);
        report.failed(FileNum, OutcomeReason::wrong_password);
        return false;
    };
    const auto ask_password = [&] {
        if (run.password.empty())
            run.password = w.input_box(run_text::password_prompt, run_text::password_title);
        return !run.password.empty();
    };
    if (aes) {
        if (e.CompressedSize < WinZipAesSource::overhead(aes->strength)) {
            show_error(run_text::size_error);
            report.failed(FileNum, OutcomeReason::damaged, "truncated");
            return true;
        }
        if (!ask_password())
            return refuse();
        w.yield();
        bool matched = false;
        for (const std::string& candidate : password_candidates(run.password)) {
            FileRangeSource file_source(run.archive, data_start, e.CompressedSize);
            WinZipAesSource trial(file_source, e.CompressedSize, aes->strength);
            const auto opened = trial.open(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(candidate.data()),
                                                                     candidate.size()));
            if (opened == WinZipAesSource::OpenResult::ok) {
                aes_password = candidate;
                matched = true;
                break;
            }
            if (opened != WinZipAesSource::OpenResult::wrong_password) {
                show_error(run_text::size_error);
                report.failed(FileNum, OutcomeReason::damaged, "AES header");
                return true;
            }
        }
        if (!matched)
            return refuse();
        w.yield();
    }
    if (encrypted) {
        // No room for the encryption header: a damaged entry, not a wrong password.
        if (e.CompressedSize < encryption_header) {
            show_error(run_text::size_error);
            report.failed(FileNum, OutcomeReason::damaged, "truncated");
            return true;
        }
        if (!ask_password())
            return refuse();
        w.yield();
        std::array<uint8_t, encryption_header> stored{};
        if (run.prefetched.size() >= encryption_header)
            std::copy_n(run.prefetched.begin(), encryption_header, stored.begin());
        else if (!run.archive.read_exact(data_start, stored)) {
            show_error(run_text::size_error);
            report.failed(FileNum, OutcomeReason::damaged, "truncated");
            return true;
        }
        // The last header byte is the CRC's high byte; writers that put the
        // CRC in a data descriptor (flags bit 3, Info-ZIP among them) use the
        // high byte of the DOS time instead.
        const auto crc_high = static_cast<uint8_t>(static_cast<uint32_t>(e.CRC32) >> 24);
        const auto time_high = static_cast<uint8_t>(static_cast<uint16_t>(e.FileTime) >> 8);
        const bool descriptor = (static_cast<uint16_t>(e.Flags) & zip::flag_data_descriptor) != 0;
        for (const std::string& candidate : password_candidates(run.password)) {
            std::array<uint8_t, encryption_header> head = stored;
            Cls_Encrypt trial;
            trial.ZipPrepareKey(head, candidate);
            if (head[check_byte] == crc_high || (descriptor && head[check_byte] == time_high))
                keys.push_back(trial);
        }
        if (keys.empty())
            return refuse();
        w.yield();
    }
    const uint64_t stored_start = data_start + (encrypted ? encryption_header : 0);
    const uint64_t stored_size = e.CompressedSize - (encrypted ? encryption_header : 0);
    // The compressed data itself: without the AES salt, verifier and code.
    const uint64_t data_size = aes ? stored_size - WinZipAesSource::overhead(aes->strength) : stored_size;
    // AES: whether the authentication code of the last decode matched.
    WinZipAesSource::Authentication authentication = WinZipAesSource::Authentication::ok;

    // One decode of the entry's stored bytes into `sink`, decrypted with
    // `key` when the entry is encrypted (or with the AES password).
    const auto decode = [&](ByteSink& sink, const Cls_Encrypt* key) -> DecodeStatus {
        FileRangeSource file_source(run.archive, stored_start, stored_size);
        SpanSource memory_source(run.prefetched.empty() ? std::span<const uint8_t>{}
                                                        : run.prefetched.subspan(static_cast<size_t>(stored_start - data_start)));
        ByteSource* source = run.prefetched.empty() ? static_cast<ByteSource*>(&file_source) : &memory_source;
        std::unique_ptr<ZipCryptoSource> decrypted;
        if (key) {
            decrypted = std::make_unique<ZipCryptoSource>(*source, *key);
            source = decrypted.get();
        }
        std::unique_ptr<WinZipAesSource> aes_source;
        if (aes) {
            aes_source = std::make_unique<WinZipAesSource>(*source, stored_size, aes->strength);
            if (aes_source->open(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(aes_password.data()),
                                                          aes_password.size()))
                != WinZipAesSource::OpenResult::ok)
                return DecodeStatus::data_error;
            source = aes_source.get();
        }
        const DecodeStatus status = decode_data(method, e, *source, sink, data_size, run);
        if (aes_source && status == DecodeStatus::ok)
            authentication = aes_source->finish();
        return status;
    };

    if (is_symbolic_link(e)) {
        // A UNIX symbolic link: the entry's data is its target.
        std::vector<uint8_t> target;
        VectorSink sink(target, link_target_max);
        const DecodeStatus status = decode(sink, keys.empty() ? nullptr : &keys.front());
        if (status != DecodeStatus::ok || crc32_update(0, target) != static_cast<uint32_t>(e.CRC32)) {
            show_error(run_text::crc_failed);
            report.failed(FileNum, OutcomeReason::damaged, "link target");
            return true;
        }
        switch (MakeSymbolicLink(state_, l.name, run.ToPath, std::string(target.begin(), target.end()))) {
        case OutputStatus::ok: report.extracted(FileNum); break;
        case OutputStatus::not_written: report.skipped(FileNum, OutcomeReason::not_overwritten); break;
        case OutputStatus::unsafe_path:
            show_error(std::string(unsafe_path_message) + l.name);
            report.skipped(FileNum, OutcomeReason::link_refused);
            break;
        case OutputStatus::failed:
            show_error(write_error);
            report.failed(FileNum, OutcomeReason::write_error);
            break;
        }
        return true;
    }

    w.yield();
    // Small entries are decoded into memory and handed to the writer thread
    // when the run spaces its window updates; others stream to their file.
    const bool in_memory = run.run.background_writes() && e.UncompressedSize <= ExtractionRun::background_entry_limit;
    OutputFile out(state_);
    std::vector<uint8_t> memory;
    const auto open_failed = [&](OutputStatus s) {
        switch (s) {
        case OutputStatus::ok:
            return false;
        case OutputStatus::not_written:
            report.skipped(FileNum, OutcomeReason::not_overwritten);
            break;
        case OutputStatus::unsafe_path:
            show_error(std::string(unsafe_path_message) + l.name);
            report.skipped(FileNum, OutcomeReason::unsafe_name);
            break;
        case OutputStatus::failed:
            show_error(write_error);
            report.failed(FileNum, OutcomeReason::write_error);
            break;
        }
        return true;
    };
    DecodeStatus status = DecodeStatus::ok;
    bool checks_passed = false;
    bool crc_ok = false;
    uint64_t produced = 0;
    const size_t attempts = std::max<size_t>(keys.size(), 1);
    for (size_t attempt = 0; attempt < attempts; ++attempt) {
        if (!in_memory && open_failed(out.open(l.name, run.ToPath, file_mode(e))))
            return true;
        memory.clear();
        EntrySink sink(run.run, in_memory ? nullptr : &out, e.UncompressedSize);
        if (in_memory)
            sink.keep_in(&memory);
        status = decode(sink, keys.empty() ? nullptr : &keys[attempt]);
        if (sink.cancelled()) {
            report.skipped(FileNum, OutcomeReason::cancelled);
            return true;
        }
        if (sink.write_failed()) {
            show_error(write_error);
            report.failed(FileNum, OutcomeReason::write_error);
            return true;
        }
        produced = sink.size();
        // AE-2 leaves the CRC field 0: the authentication code alone
        // protects the data. An AES entry whose code fails counts as a CRC
        // failure (damaged data).
        if (aes && aes->vendor_version == 2)
            crc_ok = true;
        else
            crc_ok = produced < 1 ? e.CRC32 == 0 : sink.crc() == static_cast<uint32_t>(e.CRC32);
        if (authentication != WinZipAesSource::Authentication::ok)
            crc_ok = false;
        checks_passed = status == DecodeStatus::ok && crc_ok && produced == e.UncompressedSize;
        // A wrong password may pass the one-byte check: the next byte form
        // whose check byte matched gets its turn before the entry is reported.
        if (checks_passed || attempt + 1 == attempts)
            break;
        out.discard();
    }

    if (status != DecodeStatus::ok) {
        // Nothing usable came out: the checks say so, as they always have,
        // and nothing is written. A stored entry cut short, or a Reduce size
        // refused before decoding, is only a size fault.
        const bool size_only = (method == 0 && status == DecodeStatus::truncated)
                               || (method >= 2 && method <= 5 && status == DecodeStatus::output_limit);
        if (!size_only)
            show_error(run_text::crc_failed);
        show_error(run_text::size_error);
        report.failed(FileNum, encrypted ? OutcomeReason::wrong_password : OutcomeReason::damaged,
                      decode_status_name(status));
        return true;
    }
    if (!crc_ok)
        show_error(produced < 1 && authentication == WinZipAesSource::Authentication::ok ? run_text::crc_error : run_text::crc_failed);
    if (produced != e.UncompressedSize)
        show_error(run_text::size_error);
    const auto failed_as = [&] {
        report.failed(FileNum, encrypted && !crc_ok ? OutcomeReason::wrong_password : OutcomeReason::damaged,
                      authentication != WinZipAesSource::Authentication::ok ? "authentication"
                      : crc_ok                                              ? "size"
                                                                            : "CRC");
    };
    const FileStamp stamp = FileStamp::from_dos(e.FileDate, e.FileTime);
    OutputStatus placed = OutputStatus::ok;
    if (in_memory) {
        placed = run.run.write_in_background(FileNum, l.name, run.ToPath, std::move(memory), stamp, file_mode(e),
                                             checks_passed);
        if (placed == OutputStatus::unsafe_path || (placed == OutputStatus::not_written && checks_passed)
            || placed == OutputStatus::failed) {
            open_failed(placed);
            return true;
        }
    } else {
        placed = out.commit(stamp, checks_passed);
    }
    switch (placed) {
    case OutputStatus::ok:
        if (checks_passed)
            report.extracted(FileNum);
        else
            failed_as();
        break;
    case OutputStatus::not_written:
        if (checks_passed)
            report.skipped(FileNum, OutcomeReason::not_overwritten);
        else
            failed_as();
        break;
    default:
        show_error(write_error);
        report.failed(FileNum, OutcomeReason::write_error);
        break;
    }
    return true;
}

} // namespace velmora
