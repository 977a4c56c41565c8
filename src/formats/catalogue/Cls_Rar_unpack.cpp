// RAR extraction: the run over the selected entries, one decoder of each
// kind kept for the whole run (a solid archive's later entry continues the
// stream of the ones before, which are decoded without being written when
// they are not selected), AES decryption per part, entries continued in the
// next volumes, the CRC-32 or BLAKE2sp check, and RAR 5 links.
#include "formats/catalogue/Cls_Rar.h"

#include "archive/RunMessages.h"
#include "archive/BinaryFile.h"
#include "archive/EntrySink.h"
#include "archive/ExtractionRun.h"
#include "archive/FileRangeSource.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFile.h"
#include "archive/WindowServices.h"
#include "codecs/Blake2sp.h"
#include "codecs/ByteStream.h"
#include "codecs/Rar15Decoder.h"
#include "codecs/Rar20Decoder.h"
#include "codecs/Rar3Decoder.h"
#include "codecs/Rar5Decoder.h"
#include "codecs/RarAesSource.h"
#include "codecs/RarKeys.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>

namespace velmora {

namespace {

constexpr std::string_view link_target_missing = "Link target not extracted: ";
constexpr int16_t password_result = -1;

// Stored data is copied in pieces of this size.
constexpr size_t copy_piece = 256 * 1024;
// A RAR 1.5-4.x symbolic link keeps its target as the entry's data.
constexpr uint64_t link_target_max = 4096;
constexpr int32_t unix_type_mask = 0xF000;
constexpr int32_t unix_symlink = 0xA000;

// The parts of one entry's packed data, read one after another.
class PartsSource final : public ByteSource {
public:
    void add(std::unique_ptr<ByteSource> s) { parts_.push_back(std::move(s)); }
    size_t read(std::span<uint8_t> out) override
    {
        while (current_ < parts_.size()) {
            const size_t got = parts_[current_]->read(out);
            if (got > 0)
                return got;
            ++current_;
        }
        return 0;
    }

private:
    std::vector<std::unique_ptr<ByteSource>> parts_;
    size_t current_ = 0;
};

// An AES-decrypting part: owns its encrypted range.
class DecryptedRange final : public ByteSource {
public:
    DecryptedRange(const BinaryFile& f, uint64_t offset, uint64_t length) : range_(f, offset, length), aes_(range_) {}
    bool init(std::span<const uint8_t> key, std::span<const uint8_t> iv) { return aes_.init(key, iv); }
    size_t read(std::span<uint8_t> out) override { return aes_.read(out); }

private:
    FileRangeSource range_;
    RarAesSource aes_;
};

// BLAKE2sp of the bytes on their way to the entry's sink.
class Blake2Sink final : public ByteSink {
public:
    explicit Blake2Sink(ByteSink& next) : next_(next) {}
    bool write(std::span<const uint8_t> data) override
    {
        hash_.update(data);
        return next_.write(data);
    }
    std::array<uint8_t, 32> digest() { return hash_.finish(); }

private:
    ByteSink& next_;
    Blake2sp hash_;
};

// The volume after `path`: "name.partN.rar" counts N up in the same number
// of digits (more when it overflows); "name.rar" is followed by "name.r00",
// "name.rNN" by "name.r(NN+1)".
std::string next_volume_name(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    const size_t part = lower.rfind(".part");
    if (part != std::string::npos && part >= base && lower.size() > 4 && lower.ends_with(".rar")) {
        const size_t digits_start = part + 5;
        const size_t digits_end = lower.size() - 4;
        if (digits_end > digits_start
            && std::all_of(lower.begin() + static_cast<ptrdiff_t>(digits_start), lower.begin() + static_cast<ptrdiff_t>(digits_end),
                           [](unsigned char c) { return std::isdigit(c); })) {
            std::string digits = path.substr(digits_start, digits_end - digits_start);
            size_t i = digits.size();
            while (i > 0 && digits[i - 1] == '9')
                digits[--i] = '0';
            if (i == 0)
                digits.insert(digits.begin(), '1');
            else
                ++digits[i - 1];
            return path.substr(0, digits_start) + digits + path.substr(digits_end);
        }
    }
    if (lower.size() >= 4 && lower.ends_with(".rar"))
        return path.substr(0, path.size() - 2) + "00";
    if (lower.size() >= 4 && lower[lower.size() - 4] == '.' && lower[lower.size() - 3] == 'r'
        && std::isdigit(static_cast<unsigned char>(lower[lower.size() - 2]))
        && std::isdigit(static_cast<unsigned char>(lower[lower.size() - 1]))) {
        const int n = (lower[lower.size() - 2] - '0') * 10 + (lower[lower.size() - 1] - '0') + 1;
        if (n > 99)
            return {};
        std::string out = path;
        out[out.size() - 2] = static_cast<char>('0' + n / 10);
        out[out.size() - 1] = static_cast<char>('0' + n % 10);
        return out;
    }
    return {};
}

} // namespace

std::string rar_next_volume_name(const std::string& path)
{
    return next_volume_name(path);
}

// The decoders of one run, made when first needed.
class Cls_Rar::Decoders {
public:
    std::unique_ptr<Rar15Decoder> v15;
    std::unique_ptr<Rar20Decoder> v20;
    std::unique_ptr<Rar3Decoder> v29;
    std::unique_ptr<Rar5Decoder> v50;
};

struct Cls_Rar::UnpackRun {
    UnpackRun(ExtractionRun& r, const BinaryFile& f, std::string& to) : run(r), file(f), ToPath(to) {}
    ExtractionRun& run;
    const BinaryFile& file;
    std::string& ToPath;
    Decoders decoders;
    std::vector<bool> needed;            // by entry: a later selected entry continues its stream
    std::set<std::string> written;       // names extracted in this run (hard link targets)
    std::string password;
    bool password_asked = false;
    // A password refused (none given, or one the check value rejects) ends
    // the run, as in the ZIP reader: UnPack then returns -1.
    bool stopped = false;
    std::map<std::array<uint8_t, 8>, rar_keys::rar3_key> rar3_keys;
    std::map<std::pair<std::array<uint8_t, 16>, uint8_t>, rar_keys::rar5_key> rar5_keys;
    // Later volumes, by path: the open file and its records.
    struct Volume {
        std::unique_ptr<BinaryFile> file;
        std::vector<DataRecord> records;
    };
    std::map<std::string, Volume> volumes;
    std::vector<uint8_t> buffer;
};

int16_t Cls_Rar::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    state_.PackData.clear();
    if (state_.PackTotFiles == 0 || ZippedFile.size() != static_cast<size_t>(state_.PackTotFiles) + 1)
        return -10;
    return run_on_archive(state_, ZippedFile, MessageStyle::error_box, run_text::write_error,
                          [&](const BinaryFile& file, ExtractionRun& run) -> int16_t {
        UnpackRun u(run, file, ToPath);
        u.password = password_;
        const auto count = static_cast<int32_t>(std::min<size_t>(records_.size(), static_cast<size_t>(state_.PackTotFiles)));

        // A selected entry that continues a solid stream needs the entries
        // of that stream before it decoded first.
        u.needed.assign(static_cast<size_t>(count) + 1, false);
        for (int32_t k = count; k >= 1; --k) {
            const DataRecord& d = records_[static_cast<size_t>(k) - 1];
            const bool wanted = ZippedFile[static_cast<size_t>(k)] || u.needed[static_cast<size_t>(k)];
            if (!wanted || !d.solid || d.dir || d.method == 0)
                continue;
            for (int32_t j = k - 1; j >= 1; --j) {
                const DataRecord& p = records_[static_cast<size_t>(j) - 1];
                if (p.dir || p.method == 0 || p.split_before)
                    continue;
                u.needed[static_cast<size_t>(j)] = true;
                break; // its own solid flag carries the chain further back
            }
        }

        for (int32_t i = 0; i <= state_.PackTotFiles; ++i) {
            if (!run.pass(i))
                return 0;
            if (i >= 1 && i <= count) {
                if (ZippedFile[static_cast<size_t>(i)])
                    extract(i, u);
                else if (u.needed[static_cast<size_t>(i)])
                    skip_through(i, u);
            }
            if (u.stopped)
                return password_result;
            if (run.cancelled())
                return 0;
            run.end_pass();
        }
        return 0;
    });
}

// The key of an encrypted part. The password is the one given for the
// headers, else asked once per run.
Cls_Rar::KeyResult Cls_Rar::entry_key(const DataRecord& d, UnpackRun& u, std::vector<uint8_t>& key,
                                      std::array<uint8_t, 16>& iv)
{
    if (u.password.empty() && !u.password_asked) {
        u.password_asked = true;
        u.password = u.run.window().input_box(run_text::password_prompt, run_text::password_title);
    }
    if (u.password.empty())
        return KeyResult::no_password;
    if (d.rar5_crypt) {
        const rar5::encryption_info& e = *d.rar5_crypt;
        const auto id = std::make_pair(e.salt, e.kdf_count);
        auto it = u.rar5_keys.find(id);
        if (it == u.rar5_keys.end()) {
            const auto derived = rar_keys::derive_rar5(u.password, e.salt, e.kdf_count);
            if (!derived)
                return KeyResult::wrong_password;
            it = u.rar5_keys.emplace(id, *derived).first;
        }
        if (e.check && !rar_keys::rar5_check_matches(it->second, *e.check))
            return KeyResult::wrong_password;
        key.assign(it->second.key.begin(), it->second.key.end());
        iv = e.iv;
        return KeyResult::ok;
    }
    const std::array<uint8_t, 8> salt = d.salt.value_or(std::array<uint8_t, 8>{});
    auto it = u.rar3_keys.find(salt);
    if (it == u.rar3_keys.end()) {
        const auto derived = rar_keys::derive_rar3(u.password, d.salt ? std::span<const uint8_t>(*d.salt) : std::span<const uint8_t>{});
        if (!derived)
            return KeyResult::wrong_password;
        it = u.rar3_keys.emplace(salt, *derived).first;
    }
    key.assign(it->second.key.begin(), it->second.key.end());
    iv = it->second.iv;
    return KeyResult::ok;
}


// The entry's packed data: its part in this volume and, while a part says
// the data goes on, the next part in the next volume; each part decrypted
// with its own key. `last` is the record of the last part (its checksum
// covers the whole entry).
Cls_Rar::SourceResult Cls_Rar::open_source(int32_t k, UnpackRun& u, std::unique_ptr<ByteSource>& source,
                                           const DataRecord*& last)
{
    auto parts = std::make_unique<PartsSource>();
    const auto add_part = [&](const BinaryFile& f, const DataRecord& d) -> SourceResult {
        if (!d.encrypted) {
            parts->add(std::make_unique<FileRangeSource>(f, d.data_pos, d.pack_size));
            return SourceResult::ok;
        }
        std::vector<uint8_t> key;
        std::array<uint8_t, 16> iv{};
        switch (entry_key(d, u, key, iv)) {
        case KeyResult::ok: break;
        case KeyResult::no_password: return SourceResult::no_password;
        case KeyResult::wrong_password: return SourceResult::wrong_password;
        }
        auto part = std::make_unique<DecryptedRange>(f, d.data_pos, d.pack_size);
        const bool ready = part->init(key, iv);
        std::fill(key.begin(), key.end(), uint8_t{0});
        if (!ready)
            return SourceResult::wrong_password;
        parts->add(std::move(part));
        return SourceResult::ok;
    };
    const DataRecord& first = records_[static_cast<size_t>(k) - 1];
    last = &first;
    if (const SourceResult r = add_part(u.file, first); r != SourceResult::ok)
        return r;
    std::string path = state_.PackFileName;
    while (last->split_after) {
        path = next_volume_name(path);
        if (path.empty())
            return SourceResult::missing_volume;
        auto found = u.volumes.find(path);
        if (found == u.volumes.end()) {
            UnpackRun::Volume v;
            v.file = std::make_unique<BinaryFile>();
            if (!v.file->open(path))
                return SourceResult::missing_volume;
            // The volume is listed by a reader of its own, with the window
            // (a volume whose headers are encrypted asks again).
            ArchiveState other_state(*state_.window);
            Cls_Rar other(other_state);
            try {
                other.Get_Contents(path);
            } catch (...) {
            }
            if (other.facts_.rar5 != facts_.rar5)
                return SourceResult::missing_volume;
            v.records = std::move(other.records_);
            found = u.volumes.emplace(path, std::move(v)).first;
        }
        const UnpackRun::Volume& vol = found->second;
        const auto next = std::find_if(vol.records.begin(), vol.records.end(), [&](const DataRecord& r) {
            return r.split_before && r.stored_name == first.stored_name;
        });
        if (next == vol.records.end())
            return SourceResult::missing_volume;
        if (const SourceResult r = add_part(*vol.file, *next); r != SourceResult::ok)
            return r;
        last = &*next;
    }
    source = std::move(parts);
    return SourceResult::ok;
}

// Stored data: the entry's size copied, no more (an encrypted area is padded).
static DecodeStatus copy_stored(ByteSource& in, ByteSink& out, uint64_t size, bool size_unknown, std::vector<uint8_t>& buffer)
{
    // Sized to the entry (a small file needs no 256 KiB of zeroed pages),
    // and kept for the run.
    const size_t want_size = size_unknown ? copy_piece : static_cast<size_t>(std::clamp<uint64_t>(size, 4096, copy_piece));
    if (buffer.size() < want_size)
        buffer.resize(want_size);
    uint64_t left = size;
    while (size_unknown || left > 0) {
        const size_t want = size_unknown ? buffer.size() : static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        const size_t got = in.read(std::span(buffer).first(want));
        if (got == 0)
            return size_unknown ? DecodeStatus::ok : DecodeStatus::truncated;
        if (!out.write(std::span<const uint8_t>(buffer).first(got)))
            return DecodeStatus::stopped;
        left -= std::min<uint64_t>(left, got);
    }
    return DecodeStatus::ok;
}

DecodeStatus Cls_Rar::decode_entry(const DataRecord& d, UnpackRun& u, ByteSource& source, ByteSink& sink)
{
    if (d.method == 0)
        return copy_stored(source, sink, d.unp_size, d.unp_size_unknown, u.buffer);
    Decoders& dec = u.decoders;
    switch (d.unp_ver) {
    case 15:
        if (!dec.v15)
            dec.v15 = std::make_unique<Rar15Decoder>();
        return dec.v15->decode(source, sink, d.unp_size, d.solid);
    case 20:
    case 26:
        if (!dec.v20)
            dec.v20 = std::make_unique<Rar20Decoder>();
        return dec.v20->decode(source, sink, d.unp_size, d.solid);
    case 29:
    case 36:
        if (!dec.v29)
            dec.v29 = std::make_unique<Rar3Decoder>();
        return dec.v29->decode(source, sink, d.unp_size, d.solid);
    case 50:
    case 70:
        if (!dec.v50)
            dec.v50 = std::make_unique<Rar5Decoder>();
        dec.v50->set_dictionary(d.dictionary, d.extended_distances);
        return dec.v50->decode(source, sink, d.unp_size_unknown ? Rar5Decoder::unknown_size : d.unp_size, d.solid);
    default:
        return DecodeStatus::unsupported;
    }
}

// An entry not selected whose stream a later selected entry continues:
// decoded, nothing written.
void Cls_Rar::skip_through(int32_t k, UnpackRun& u)
{
    const DataRecord& d = records_[static_cast<size_t>(k) - 1];
    if (d.dir || d.method == 0 || listing_[static_cast<size_t>(k) - 1].blocker.reason != OutcomeReason::none)
        return;
    std::unique_ptr<ByteSource> source;
    const DataRecord* last = nullptr;
    if (open_source(k, u, source, last) != SourceResult::ok)
        return;
    EntrySink sink(u.run, nullptr, d.unp_size);
    decode_entry(d, u, *source, sink);
}

void Cls_Rar::extract(int32_t k, UnpackRun& u)
{
    const ListedEntry& l = listing_[static_cast<size_t>(k) - 1];
    const DataRecord& d = records_[static_cast<size_t>(k) - 1];
    ExtractionRun& run = u.run;
    ExtractionReport& report = run.report();
    // Whatever keeps this entry from being written, a later entry of the
    // same solid stream still needs it decoded.
    const auto keep_stream = [&] {
        if (u.needed[static_cast<size_t>(k)])
            skip_through(k, u);
    };
    const auto unsafe = [&](OutcomeReason reason) {
        run.message(std::string(unsafe_path_message) + l.name);
        report.skipped(k, reason);
    };
    const auto rel = contained_entry_path(l.name);
    if (!rel) {
        unsafe(OutcomeReason::unsafe_name);
        keep_stream();
        return;
    }
    if (d.dir) {
        const int16_t made = MakeEntryFolder(state_, u.ToPath, l.name);
        if (made == write_unsafe_path) {
            unsafe(OutcomeReason::unsafe_name);
        } else if (made != 0) {
            run.message(run_text::write_error);
            report.failed(k, OutcomeReason::write_error);
        } else {
            report.extracted(k);
        }
        return;
    }
    if (d.split_before) {
        // The data starts in an earlier volume.
        report.skipped(k, OutcomeReason::missing_volume);
        return;
    }
    if (l.blocker.reason != OutcomeReason::none) {
        report.skipped(k, l.blocker.reason, l.blocker.detail);
        return;
    }
    if (d.redirection) {
        extract_link(k, u);
        return;
    }

    std::unique_ptr<ByteSource> source;
    const DataRecord* last = nullptr;
    switch (open_source(k, u, source, last)) {
    case SourceResult::ok:
        break;
    case SourceResult::missing_volume:
        report.skipped(k, OutcomeReason::missing_volume);
        return;
    case SourceResult::no_password:
    case SourceResult::wrong_password:
        run.program_message(run_text::invalid_password);
        report.failed(k, OutcomeReason::wrong_password);
        u.stopped = true;
        return;
    }

    // Checksums of an entry whose encryption record says so are keyed.
    const rar_keys::rar5_key* tweak = nullptr;
    if (last->rar5_crypt && (last->rar5_crypt->flags & 0x0002)) {
        const auto it = u.rar5_keys.find(std::make_pair(last->rar5_crypt->salt, last->rar5_crypt->kdf_count));
        if (it != u.rar5_keys.end())
            tweak = &it->second;
    }

    if ((d.unix_mode & unix_type_mask) == unix_symlink) {
        // A RAR 1.5-4.x symbolic link: the data is the target.
        std::vector<uint8_t> target;
        VectorSink sink(target, link_target_max);
        const DecodeStatus status = decode_entry(d, u, *source, sink);
        if (status != DecodeStatus::ok || (last->crc && crc32_update(0, target) != *last->crc)) {
            run.message(run_text::crc_failed);
            report.failed(k, OutcomeReason::damaged, "link target");
            return;
        }
        switch (MakeSymbolicLink(state_, l.name, u.ToPath, std::string(target.begin(), target.end()))) {
        case OutputStatus::ok: report.extracted(k); break;
        case OutputStatus::not_written: report.skipped(k, OutcomeReason::not_overwritten); break;
        case OutputStatus::unsafe_path: unsafe(OutcomeReason::link_refused); break;
        case OutputStatus::failed:
            run.message(run_text::write_error);
            report.failed(k, OutcomeReason::write_error);
            break;
        }
        return;
    }

    // Small entries are decoded into memory and handed to the run's writer
    // thread when the window spaces its updates; others stream to their file.
    const int32_t mode = d.unix_mode < 0 ? -1 : (d.unix_mode & 0777);
    const bool in_memory = run.background_writes() && !d.unp_size_unknown
                           && d.unp_size <= ExtractionRun::background_entry_limit;
    const auto open_failed = [&](OutputStatus status) {
        switch (status) {
        case OutputStatus::ok:
            return false;
        case OutputStatus::not_written:
            report.skipped(k, OutcomeReason::not_overwritten);
            break;
        case OutputStatus::unsafe_path:
            unsafe(OutcomeReason::unsafe_name);
            break;
        case OutputStatus::failed:
            run.message(run_text::write_error);
            report.failed(k, OutcomeReason::write_error);
            break;
        }
        return true;
    };
    OutputFile out(state_);
    std::vector<uint8_t> memory;
    if (!in_memory && open_failed(out.open(l.name, u.ToPath, mode))) {
        keep_stream();
        return;
    }

    EntrySink entry_sink(run, in_memory ? nullptr : &out, d.unp_size);
    if (in_memory)
        entry_sink.keep_in(&memory);
    Blake2Sink blake_sink(entry_sink);
    ByteSink& sink = last->blake2 ? static_cast<ByteSink&>(blake_sink) : entry_sink;
    const DecodeStatus status = decode_entry(d, u, *source, sink);
    if (entry_sink.cancelled()) {
        report.skipped(k, OutcomeReason::cancelled);
        return;
    }
    if (entry_sink.write_failed()) {
        run.message(run_text::write_error);
        report.failed(k, OutcomeReason::write_error);
        return;
    }
    // Without a password check (RAR 3) a wrong password shows as data that
    // does not decode or does not match its checksum.
    const bool unchecked_key = d.encrypted && !(d.rar5_crypt && d.rar5_crypt->check);
    if (status != DecodeStatus::ok) {
        // Stored data cut short is only a size fault.
        run.message(d.method == 0 && status == DecodeStatus::truncated ? run_text::size_error : run_text::crc_failed);
        report.failed(k, unchecked_key ? OutcomeReason::wrong_password : OutcomeReason::damaged, decode_status_name(status));
        return;
    }
    bool sum_ok = true;
    if (last->blake2) {
        auto digest = blake_sink.digest();
        if (tweak)
            digest = rar_keys::rar5_tweaked_blake2(*tweak, digest);
        sum_ok = digest == *last->blake2;
    } else if (last->crc) {
        const uint32_t crc = tweak ? rar_keys::rar5_tweaked_crc(*tweak, entry_sink.crc()) : entry_sink.crc();
        sum_ok = crc == *last->crc;
    }
    const bool size_ok = d.unp_size_unknown || entry_sink.size() == d.unp_size;
    if (!sum_ok)
        run.message(run_text::crc_error);
    if (!size_ok)
        run.message(run_text::size_error);
    const bool checks_passed = sum_ok && size_ok;
    const auto failed_as = [&] {
        report.failed(k, unchecked_key && !sum_ok ? OutcomeReason::wrong_password : OutcomeReason::damaged,
                      sum_ok ? "size" : last->blake2 ? "BLAKE2sp" : "CRC");
    };
    OutputStatus placed = OutputStatus::ok;
    if (in_memory) {
        placed = run.write_in_background(k, l.name, u.ToPath, std::move(memory), d.stamp, mode, checks_passed);
        if (placed == OutputStatus::unsafe_path || placed == OutputStatus::failed
            || (placed == OutputStatus::not_written && checks_passed)) {
            open_failed(placed);
            return;
        }
    } else {
        placed = out.commit(d.stamp, checks_passed);
    }
    switch (placed) {
    case OutputStatus::ok:
        if (checks_passed) {
            u.written.insert(*rel);
            report.extracted(k);
        } else {
            failed_as();
        }
        break;
    case OutputStatus::not_written:
        if (checks_passed)
            report.skipped(k, OutcomeReason::not_overwritten);
        else
            failed_as();
        break;
    default:
        run.message(run_text::write_error);
        report.failed(k, OutcomeReason::write_error);
        break;
    }
}

// RAR 5 file system redirections: symbolic links (Unix and Windows) are made
// when they stay inside the output folder; hard links and file copies link
// to a file extracted earlier in the run; junctions (absolute by nature) are
// refused.
void Cls_Rar::extract_link(int32_t k, UnpackRun& u)
{
    const ListedEntry& l = listing_[static_cast<size_t>(k) - 1];
    const rar5::redirection_info& r = *records_[static_cast<size_t>(k) - 1].redirection;
    ExtractionRun& run = u.run;
    ExtractionReport& report = run.report();
    const auto result = [&](OutputStatus status, const std::string& link_target) {
        switch (status) {
        case OutputStatus::ok:
            if (const auto rel = contained_entry_path(l.name))
                u.written.insert(*rel);
            report.extracted(k);
            break;
        case OutputStatus::not_written:
            report.skipped(k, OutcomeReason::not_overwritten);
            break;
        case OutputStatus::unsafe_path:
            run.message(std::string(unsafe_path_message) + l.name);
            report.skipped(k, OutcomeReason::link_refused, link_target);
            break;
        case OutputStatus::failed:
            run.message(run_text::write_error);
            report.failed(k, OutcomeReason::write_error);
            break;
        }
    };
    std::string target = r.target;
    switch (static_cast<rar5::redirection_type>(r.type)) {
    case rar5::redirection_type::windows_symlink:
        std::replace(target.begin(), target.end(), '\\', '/');
        [[fallthrough]];
    case rar5::redirection_type::unix_symlink:
        result(MakeSymbolicLink(state_, l.name, u.ToPath, target), target);
        return;
    case rar5::redirection_type::hard_link:
    case rar5::redirection_type::file_copy: {
        const auto rel = contained_entry_path(target);
        if (!rel || u.written.count(*rel) == 0) {
            run.message(std::string(link_target_missing) + l.name);
            report.skipped(k, OutcomeReason::link_refused, target);
            return;
        }
        run.drain_background();
        result(MakeHardLink(state_, l.name, u.ToPath, target), target);
        return;
    }
    default:
        run.message(std::string(unsafe_path_message) + l.name);
        report.skipped(k, OutcomeReason::link_refused, target);
        return;
    }
}

} // namespace velmora
