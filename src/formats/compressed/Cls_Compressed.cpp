// Single compressed files: listing from the header (and an .xz file's
// indexes), extraction of the one member through the format's streaming
// decoder. Each container checks itself where it can (xz, Zstandard and bzip2
// carry check values, an .lzma header may state the size); Unix compress has
// no check at all.
#include "formats/compressed/Cls_Compressed.h"

#include "archive/RunMessages.h"
#include "archive/BinaryFile.h"
#include "archive/ByteFields.h"
#include "archive/DateTime.h"
#include "archive/EntrySink.h"
#include "archive/ExtractionRun.h"
#include "archive/FileRangeSource.h"
#include "archive/Mod_DiskIO.h"
#include "archive/OutputFile.h"
#include "codecs/Bzip2Decoder.h"
#include "codecs/LzmaAloneDecoder.h"
#include "codecs/UnixCompressDecoder.h"
#include "codecs/XzDecoder.h"
#include "codecs/XzIndex.h"
#include "codecs/ZstdDecoder.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <sys/stat.h>

namespace velmora {

namespace {


// Magic numbers: xz FD '7' 'z' 'X' 'Z' 00; bzip2 "BZh" and the block size
// '1'-'9'; Zstandard frame 28 B5 2F FD (little-endian 0xFD2FB528) or a
// skippable frame 0x184D2A50-0x184D2A5F; compress 1F 9D.
constexpr std::array<uint8_t, 6> xz_magic = {0xFD, '7', 'z', 'X', 'Z', 0x00};
constexpr std::array<uint8_t, 4> zstd_magic = {0x28, 0xB5, 0x2F, 0xFD};
constexpr std::array<uint8_t, 2> compress_magic = {0x1F, 0x9D};

// .lzma header: properties(1) dictionary_size(4) uncompressed_size(8, all
// ones when unknown). The properties byte is (pb * 5 + lp) * 9 + lc with
// lc <= 8, lp <= 4, pb <= 4.
constexpr size_t lzma_header_size = 13;
constexpr uint8_t lzma_max_properties = (4 * 5 + 4) * 9 + 8;
static_assert(lzma_max_properties == 224);
// Encoders write a size up to 256 GiB or "unknown" (as liblzma checks).
constexpr uint64_t lzma_plausible_size = uint64_t{1} << 38;

// The longest header the detection looks at.
constexpr size_t head_size = lzma_header_size;

struct NameRule {
    CompressedFormat format;
    std::string_view ending;      // upper case
    std::string_view replacement; // what takes its place
};
// Longer endings first, so .tbz2 is not taken for .bz2's kin.
constexpr NameRule name_rules[] = {
    {CompressedFormat::xz, ".TXZ", ".tar"},     {CompressedFormat::xz, ".XZ", ""},
    {CompressedFormat::lzma, ".TLZ", ".tar"},   {CompressedFormat::lzma, ".LZMA", ""},
    {CompressedFormat::bzip2, ".TBZ2", ".tar"}, {CompressedFormat::bzip2, ".TBZ", ".tar"},
    {CompressedFormat::bzip2, ".BZ2", ""},      {CompressedFormat::zstd, ".TZST", ".tar"},
    {CompressedFormat::zstd, ".ZST", ""},       {CompressedFormat::compress, ".TAZ", ".tar"},
    {CompressedFormat::compress, ".Z", ""},
};

std::string upper_ascii(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

bool ends_with(const std::string& s, std::string_view tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string file_name_part(const std::string& path)
{
    const size_t sep = path.find_last_of('/');
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

template <size_t N>
bool starts_with(std::span<const uint8_t> head, const std::array<uint8_t, N>& magic)
{
    return head.size() >= N && std::equal(magic.begin(), magic.end(), head.begin());
}

int64_t file_time(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtim.tv_sec) : 0;
}

uint8_t code_of(CompressedFormat f)
{
    switch (f) {
    case CompressedFormat::xz: return format_code::xz;
    case CompressedFormat::lzma: return format_code::lzma;
    case CompressedFormat::bzip2: return format_code::bzip2;
    case CompressedFormat::zstd: return format_code::zstd;
    case CompressedFormat::compress: return format_code::compress;
    }
    return format_code::none;
}

std::string method_text(CompressedFormat f)
{
    switch (f) {
    case CompressedFormat::xz: return "XZ";
    case CompressedFormat::lzma: return "LZMA";
    case CompressedFormat::bzip2: return "BZip2";
    case CompressedFormat::zstd: return "Zstandard";
    case CompressedFormat::compress: return "LZW";
    }
    return "Unknown";
}

// A dictionary size that LZMA encoders write: 2^n or 2^n + 2^(n-1).
bool plausible_dictionary(uint32_t d)
{
    if (d == 0)
        return false;
    const uint32_t top = uint32_t{1} << (31 - __builtin_clz(d));
    return d == top || d == top + (top >> 1) || d == UINT32_MAX;
}

} // namespace

bool compressed_header_matches(CompressedFormat format, std::span<const uint8_t> head, bool by_name)
{
    switch (format) {
    case CompressedFormat::xz:
        return starts_with(head, xz_magic);
    case CompressedFormat::bzip2:
        return head.size() >= 4 && head[0] == 'B' && head[1] == 'Z' && head[2] == 'h' && head[3] >= '1'
               && head[3] <= '9';
    case CompressedFormat::zstd:
        return starts_with(head, zstd_magic)
               || (head.size() >= 4 && (head[0] & 0xF0) == 0x50 && head[1] == 0x2A && head[2] == 0x4D && head[3] == 0x18);
    case CompressedFormat::compress:
        return starts_with(head, compress_magic);
    case CompressedFormat::lzma: {
        if (head.size() < lzma_header_size || head[0] > lzma_max_properties)
            return false;
        if (by_name)
            return true;
        const uint64_t size = load_le64(head.data() + 5);
        return plausible_dictionary(load_le32(head.data() + 1)) && (size == UINT64_MAX || size < lzma_plausible_size);
    }
    }
    return false;
}

std::optional<CompressedFormat> detect_compressed_file(const std::string& ZipName)
{
    std::array<uint8_t, head_size> head{};
    size_t got = 0;
    {
        BinaryFile file;
        if (!file.open(ZipName))
            return std::nullopt;
        got = file.read_at(0, head);
    }
    const std::span<const uint8_t> h(head.data(), got);
    // The magic numbers first; .lzma, which has none, last.
    for (const CompressedFormat f : {CompressedFormat::xz, CompressedFormat::bzip2, CompressedFormat::zstd,
                                     CompressedFormat::compress, CompressedFormat::lzma})
        if (compressed_header_matches(f, h, false))
            return f;
    const std::string upper = upper_ascii(file_name_part(ZipName));
    for (const NameRule& rule : name_rules)
        if (ends_with(upper, rule.ending))
            return rule.format;
    return std::nullopt;
}

std::string DeriveCompressedName(const std::string& ZipName, CompressedFormat format)
{
    const std::string name = file_name_part(ZipName);
    const std::string upper = upper_ascii(name);
    for (const NameRule& rule : name_rules)
        if (rule.format == format && ends_with(upper, rule.ending) && upper.size() > rule.ending.size())
            return name.substr(0, name.size() - rule.ending.size()) + std::string(rule.replacement);
    return name + ".out";
}

Cls_Compressed::Cls_Compressed(ArchiveState& state, CompressedFormat format)
    : ReaderBase(state, true), format_(format)
{
}

Cls_Compressed::~Cls_Compressed() = default;

int16_t Cls_Compressed::Get_Contents(const std::string& ZipName)
{
    if (ZipName.empty())
        return -1;
    start_listing(ZipName);
    try {
        BinaryFile file;
        if (!file.open(ZipName))
            return 0;
        std::array<uint8_t, head_size> head{};
        const size_t got = file.read_at(0, head);
        const std::string upper = upper_ascii(file_name_part(ZipName));
        const bool named = std::any_of(std::begin(name_rules), std::end(name_rules), [&](const NameRule& r) {
            return r.format == format_ && ends_with(upper, r.ending);
        });
        if (!compressed_header_matches(format_, std::span<const uint8_t>(head.data(), got), named))
            return 0;

        name_ = DeriveCompressedName(ZipName, format_);
        stamp_ = file_time(ZipName);
        size_.reset();
        if (format_ == CompressedFormat::xz) {
            size_ = xz_uncompressed_size(
                [&file](uint64_t at, std::span<uint8_t> out) { return file.read_at(at, out); }, file.size());
        } else if (format_ == CompressedFormat::lzma) {
            const uint64_t stated = load_le64(head.data() + 5);
            if (stated != UINT64_MAX)
                size_ = stated;
        }
        state_.PackFileType = code_of(format_);
        state_.PackTotFiles = 1;

        int16_t dos_date = 0;
        int16_t dos_time = 0;
        UnixTimeToDos(stamp_, dos_date, dos_time);
        ListedEntry l;
        l.name = name_;
        l.method = method_text(format_);
        l.compressed_size = static_cast<int64_t>(file.size());
        l.uncompressed_size = static_cast<int64_t>(size_.value_or(0));
        l.modified = DosDateTimeToDate(dos_date, dos_time);
        l.system_made_by = l.version_made_by = l.system_needed = l.version_needed = "UnKnown";
        listing_.push_back(std::move(l));
    } catch (...) {
        // Nothing escapes to the window; an archive not yet accepted stays unloaded.
    }
    return 0;
}

int16_t Cls_Compressed::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    if (state_.PackTotFiles == 0)
        return -10;
    return run_one_entry(state_, ZippedFile, MessageStyle::error_box, run_text::write_error, name_, ToPath,
                         [&](const BinaryFile& file, ExtractionRun& run, OutputFile& out) { extract_member(file, run, out); });
}

// Decodes the member into its output file. Data that cannot be decoded (or
// fails the container's own check, which the decoders report the same way)
// leaves nothing behind; a size that differs from the stated one keeps the
// data only where no file of that name exists.
void Cls_Compressed::extract_member(const BinaryFile& file, ExtractionRun& run, OutputFile& out)
{
    constexpr int32_t k = 1;
    ExtractionReport& report = run.report();

    FileRangeSource source(file, 0, file.size());
    EntrySink sink(run, &out, size_.value_or(0));
    sink.without_crc(); // each format checks its data itself
    sink.track_input(source, file.size());
    const auto make = [](auto& decoder, auto&&... args) -> auto& {
        if (!decoder)
            decoder = std::make_unique<typename std::remove_reference_t<decltype(decoder)>::element_type>(args...);
        return *decoder;
    };
    DecodeStatus status = DecodeStatus::unsupported;
    switch (format_) {
    case CompressedFormat::xz: status = make(xz_).decode(source, sink); break;
    case CompressedFormat::lzma: status = make(lzma_).decode(source, sink); break;
    case CompressedFormat::bzip2: status = make(bzip2_).decode(source, sink); break;
    case CompressedFormat::zstd: status = make(zstd_).decode(source, sink); break;
    case CompressedFormat::compress: status = make(compress_).decode(source, sink); break;
    }
    if (sink.ended_by_run(k, run_text::write_error))
        return;
    if (status != DecodeStatus::ok) {
        run.message(run_text::crc_failed);
        run.message(run_text::size_error);
        report.failed(k, OutcomeReason::damaged, decode_status_name(status));
        return;
    }
    const bool checks_passed = !size_ || sink.size() == *size_;
    if (!checks_passed)
        run.message(run_text::size_error);

    run.committed(out.commit(FileStamp::from_unix(stamp_), checks_passed), k, checks_passed, OutcomeReason::damaged,
                  "size");
}

} // namespace velmora
