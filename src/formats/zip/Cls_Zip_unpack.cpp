// Extraction of the selected entries of the loaded ZIP archive (PKWARE APPNOTE
// 4.3.7-4.3.9, 4.4.4-4.4.5, traditional encryption 6.1). Whole entries are
// held in memory; names are kept inside the output folder, and a declared size
// the stored bytes cannot produce ends that entry, never the run.
#include "formats/zip/Cls_Zip.h"

#include "archive/BinaryFile.h"
#include "archive/ByteFields.h"
#include "archive/Mod_DiskIO.h"
#include "archive/TextDecoding.h"
#include "codecs/Mod_Inflate64.h"
#include "codecs/Mod_Reduce.h"
#include "formats/zip/zip_records.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

namespace velmora {

namespace {

constexpr std::string_view error_title = "Error";
constexpr std::string_view zip_file_error = "Error in Zip File.";
constexpr std::string_view crc_error = "CRC error.";
constexpr std::string_view crc_failed = "CRC calculation failed.";
constexpr std::string_view size_error = "Error in decompressed size.";
constexpr std::string_view write_error = "Error writing zip file";
constexpr std::string_view cancel_question = "Do you want to cancel?";
constexpr std::string_view password_prompt = "Please enter Password.";
constexpr std::string_view password_title = "Password";
constexpr std::string_view invalid_password = "Invalid Password.";
constexpr std::string_view full_caption = "100%";

constexpr int16_t unsupported_method_result = -10;
constexpr int16_t password_result = -1;

// The traditional encryption header in front of the stored data (APPNOTE 6.1.3).
constexpr size_t encryption_header = 12;
constexpr size_t check_byte = encryption_header - 1;

// The largest output Reduce can give per stored byte. Every code byte costs at
// least 2 bits (a flag bit and a 1-bit index into a one-member follower set),
// and the longest copy is DLE, V, E, D: 4 codes, 8 bits, for
// (length mask + 255 + 3) bytes, the length mask being 127 for factor 1.
constexpr int64_t reduce_min_code_bits = 2;
constexpr int64_t reduce_longest_copy = 127 + 255 + 3;
constexpr int64_t reduce_max_expansion = reduce_longest_copy / (4 * reduce_min_code_bits / 8);
static_assert(reduce_max_expansion == 385);

// Entries up to this size are read in one piece with their local header;
// the slack covers local extra fields longer than the central ones (Info-ZIP
// writes longer time and owner fields locally).
constexpr uint64_t single_read_limit = uint64_t{1} << 20;
constexpr uint64_t local_extra_slack = 64;

// Host system 3 in the high byte of "version made by": UNIX, with st_mode in
// the high 16 bits of the external attributes (APPNOTE 4.4.2, 4.4.15).
constexpr uint8_t host_unix = 3;
constexpr uint32_t unix_type_mask = 0170000;   // S_IFMT
constexpr uint32_t unix_regular_file = 0100000; // S_IFREG

int32_t unix_mode(const ZipEntry& e)
{
    if (static_cast<uint8_t>(static_cast<uint16_t>(e.VersionMadeBy) >> 8) != host_unix)
        return -1;
    const uint32_t mode = static_cast<uint32_t>(e.ExternalAttributes) >> 16;
    // A symbolic link or device entry is written as a plain file holding its
    // bytes; its permission bits (a link's are 0777) do not describe that file.
    const uint32_t type = mode & unix_type_mask;
    if (mode == 0 || (type != 0 && type != unix_regular_file))
        return -1;
    return static_cast<int32_t>(mode);
}

// "P%" for pass `done` of `rows`, rounded to the nearest whole number with
// halves to even (the default rounding mode).
std::string percent_text(int32_t done, int32_t rows)
{
    const double p = std::nearbyint(static_cast<double>(done) / rows * 100.0);
    return std::to_string(static_cast<int64_t>(p)) + "%";
}

// The methods the extraction table names: decoded (0, 2-5, 8, 9) or counted
// as unsupported (1, 6, 7, 10).
bool is_listed_method(int16_t method) { return method >= 0 && method <= 10; }

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

void Cls_Zip::show_error(std::string_view text) const
{
    state_.window->message_box(text, error_title, MessageIcon::information);
}

int32_t Cls_Zip::PackDataSize() const { return static_cast<int32_t>(state_.PackData.size()); }

int16_t Cls_Zip::UnPack(Selection& ZippedFile, std::string& ToPath)
{
    // Nothing loaded, or a selection that does not cover exactly the entries.
    if (state_.PackTotFiles <= 0 || ZippedFile.size() != static_cast<size_t>(state_.PackTotFiles) + 1)
        return -10;

    WindowServices& w = *state_.window;
    BinaryFile archive;
    UnpackRun run{archive, ToPath, {}, 0};
    try {
        state_.PackData.clear();
        archive.open(state_.PackFileName); // a failed open shows at each entry's header
        state_.CancelRequested = false;

        w.set_percent_caption("");
        w.set_progress_value(0);
        w.set_progress_max(state_.PackTotFiles);
        w.set_percent_visible(true);

        // Folders stay open for the run and the buffer is emptied on every way out.
        struct run_scope {
            ArchiveState& s;
            explicit run_scope(ArchiveState& st) : s(st) { begin_output_run(s); }
            ~run_scope()
            {
                end_output_run(s);
                s.PackData.clear();
                s.PackData.shrink_to_fit();
            }
        } scope(state_);

        for (int32_t i = 0; i <= state_.PackTotFiles; ++i) {
            w.set_run_buttons_enabled(false);
            if (state_.CancelRequested && w.ask_yes_no(cancel_question, program_title)) {
                w.set_progress_value(0);
                w.set_progress_color(progress_color_reset);
                w.set_percent_caption("");
                w.set_percent_visible(false);
                return run.result;
            }
            w.set_progress_color(progress_color_running);
            state_.CancelRequested = false;
            w.yield();

            const int32_t rows = w.contents_row_count();
            if (w.percent_caption() != full_caption && rows > 0)
                w.set_percent_caption(percent_text(i + 1, rows));
            else if (rows > 0)
                w.set_percent_caption(full_caption);
            w.yield();

            w.set_progress_value(i + 1);
            w.yield();

            if (ZippedFile[static_cast<size_t>(i)] && !extract_entry(i, run))
                return run.result;
            w.yield();
        }
        return run.result;
    } catch (...) {
        // Nothing escapes to the window; the result so far stands.
        return run.result;
    }
}

bool Cls_Zip::extract_entry(int32_t FileNum, UnpackRun& run)
{
    const ZipEntry* e = entry(FileNum);
    if (!e)
        return true;

    // Names that would leave the output folder are refused before any work.
    if (!contained_entry_path(e->FileName)) {
        show_error(std::string(unsafe_path_message) + e->FileName);
        return true;
    }
    if (IsDir(FileNum)) {
        // A folder that cannot be made shows up when its files are written.
        if (MakeEntryFolder(state_, run.ToPath, e->FileName) == write_unsafe_path)
            show_error(std::string(unsafe_path_message) + e->FileName);
        return true;
    }

    // Methods outside the table (BZip2, LZMA, WinZip AES 99, ...) are passed
    // over before anything is read, so an AES entry asks for no password.
    if (!is_listed_method(e->Method))
        return true;

    try {
        if (!read_entry_data(*e, run))
            return true;
        if ((static_cast<uint16_t>(e->Flags) & zip::flag_encrypted) != 0) {
            // No room for the encryption header: a damaged entry, not a wrong password.
            if (state_.PackData.size() < encryption_header) {
                show_error(size_error);
                return true;
            }
            if (!decrypt_entry(*e, run))
                return false;
        }

        state_.window->yield();
        switch (e->Method) {
        case 0:
            CheckAndWriteEntry(FileNum, run.ToPath);
            break;
        case 8:
        case 9:
            Inflate(state_.PackData, e->UncompressedSize - 1, e->Method == 9, state_.window);
            CheckAndWriteEntry(FileNum, run.ToPath);
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            // More output than the stored bits can give would only be zero
            // bits read past the end: refuse it rather than allocate it.
            if (e->UncompressedSize > reduce_max_expansion * (int64_t{e->CompressedSize} + 1)) {
                show_error(size_error);
                break;
            }
            run.result = Unreduce(state_.PackData, e->Method, e->UncompressedSize - 1);
            CheckAndWriteEntry(FileNum, run.ToPath);
            break;
        case 1:
        case 6:
        case 7:
        case 10:
            run.result = unsupported_method_result;
            break;
        default:
            break;
        }
    } catch (const std::bad_alloc&) {
        // An entry too large for memory ends with the size message; the run goes on.
        state_.PackData.clear();
        state_.PackData.shrink_to_fit();
        show_error(size_error);
    }
    return true;
}

bool Cls_Zip::read_entry_data(const ZipEntry& e, UnpackRun& run)
{
    const BinaryFile& archive = run.archive;
    std::vector<uint8_t>& data = state_.PackData;
    const uint64_t offset = static_cast<uint32_t>(e.LocalHeaderOffset);
    // Sizes of 2 GiB or more cannot be held.
    const bool sizes_ok = e.CompressedSize >= 0 && e.UncompressedSize >= 0;

    // A small entry comes in one read together with its local header, on the
    // guess that the local name and extra field are about as long as the
    // central ones; a large one (or a wrong guess) takes a second read.
    const uint64_t guess = zip::local::size + e.RawName.size() + e.ExtraField.size() + local_extra_slack
                           + (sizes_ok ? static_cast<uint64_t>(e.CompressedSize) : 0);
    const size_t first = static_cast<size_t>(guess <= single_read_limit ? guess : zip::local::size);
    data.resize(first);
    const size_t got = archive.is_open() ? archive.read_at(offset, data) : 0;
    if (got < zip::local::size || load_le32(data.data()) != zip::local_header_signature) {
        show_error(zip_file_error);
        return false;
    }
    const uint64_t header_size = zip::local::size + load_le16(data.data() + zip::local::name_length)
                                 + load_le16(data.data() + zip::local::extra_length);
    // A stored size past the end of the archive cannot be read: the entry
    // ends with the size message and nothing is written.
    const uint64_t data_start = offset + header_size;
    if (!sizes_ok || data_start > archive.size()
        || static_cast<uint64_t>(e.CompressedSize) > archive.size() - data_start) {
        show_error(size_error);
        return false;
    }
    const auto size = static_cast<size_t>(e.CompressedSize);
    if (header_size + size <= got) {
        data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(header_size));
        data.resize(size);
        return true;
    }
    data.clear();
    data.resize(size);
    if (!archive.read_exact(data_start, data)) {
        show_error(size_error);
        return false;
    }
    return true;
}

bool Cls_Zip::decrypt_entry(const ZipEntry& e, UnpackRun& run)
{
    WindowServices& w = *state_.window;
    const auto refuse = [&] {
        run.result = password_result;
        w.message_box(invalid_password, program_title, MessageIcon::information);
        return false;
    };
    if (run.password.empty()) {
        run.password = w.input_box(password_prompt, password_title);
        if (run.password.empty())
            return refuse();
    }
    w.yield();

    std::vector<uint8_t>& data = state_.PackData;
    // The last header byte is the CRC's high byte; writers that put the CRC
    // in a data descriptor (flags bit 3, Info-ZIP among them) use the high
    // byte of the DOS time instead.
    const auto crc_high = static_cast<uint8_t>(static_cast<uint32_t>(e.CRC32) >> 24);
    const auto time_high = static_cast<uint8_t>(static_cast<uint16_t>(e.FileTime) >> 8);
    const bool descriptor = (static_cast<uint16_t>(e.Flags) & zip::flag_data_descriptor) != 0;

    bool found = false;
    for (const std::string& candidate : password_candidates(run.password)) {
        std::array<uint8_t, encryption_header> head{};
        std::copy_n(data.begin(), encryption_header, head.begin());
        Cls_Encrypt trial;
        trial.ZipPrepareKey(head, candidate);
        if (head[check_byte] == crc_high || (descriptor && head[check_byte] == time_high)) {
            crypt_ = trial;
            found = true;
            break;
        }
    }
    if (!found)
        return refuse();

    w.yield();
    crypt_.ZipDecryptArray(std::span<uint8_t>(data).subspan(encryption_header));
    data.erase(data.begin(), data.begin() + encryption_header);
    return true;
}

void Cls_Zip::CheckAndWriteEntry(int32_t FileNum, std::string& ToPath)
{
    const ZipEntry* e = entry(FileNum);
    if (!e)
        return;
    const int32_t n = PackDataSize();
    if (n < 1) {
        if (e->CRC32 != 0)
            show_error(crc_error);
    } else if (crc_.CalcCRC32File(state_.PackData) != e->CRC32) {
        show_error(crc_failed);
    }
    if (n != e->UncompressedSize)
        show_error(size_error);

    const int16_t written = WriteOutputFile(state_, e->FileName, ToPath, state_.PackData, e->FileDate, e->FileTime,
                                            unix_mode(*e));
    if (written == write_unsafe_path)
        show_error(std::string(unsafe_path_message) + e->FileName);
    else if (written != 0)
        show_error(write_error);
}

} // namespace velmora
