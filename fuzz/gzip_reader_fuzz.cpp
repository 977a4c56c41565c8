// Fuzzes the gzip reader: any bytes are listed and extracted into a sandboxed
// output folder. Where zlib accepts the whole file as gzip -d would (members
// one after another, each with a matching trailer, nothing after the last),
// the reader must not call the data damaged, and the file it writes must hold
// exactly zlib's output. Guards against wrong member joins, trailers taken
// from the wrong place, and anything written outside the output folder.
#include "archive/HeadlessWindow.h"
#include "fuzz_support.h"

#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// zlib's reading of the whole input as gzip members; false unless every byte
// belongs to a member that decodes and passes its checks. Output past `cap`
// bytes is not judged.
bool zlib_gunzip(const uint8_t* data, size_t size, std::vector<uint8_t>& out, size_t cap)
{
    out.clear();
    if (size == 0)
        return false;
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
        return false;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    uint8_t piece[64 * 1024];
    bool whole = false;
    for (;;) {
        z.next_out = piece;
        z.avail_out = sizeof piece;
        const int rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), piece, piece + (sizeof piece - z.avail_out));
        if (out.size() > cap)
            break;
        if (rc == Z_STREAM_END) {
            if (z.avail_in == 0) {
                whole = true;
                break;
            }
            // The next member, as gzip -d reads concatenated members.
            if (inflateReset(&z) != Z_OK)
                break;
            continue;
        }
        if (rc != Z_OK)
            break; // a data error, or the input ended inside a member
    }
    inflateEnd(&z);
    return whole;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    static fuzz::ReaderFixture f("gzip", "input.gz");
    f.archive.assign(data, size);

    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(f.path);
    const int32_t count = files.FileCount();
    for (int32_t k = 0; k <= count + 1; ++k) {
        (void)files.FileName(k);
        (void)files.IsDir(k);
        (void)files.UnCompressed_Size(k);
        (void)files.FileDateTime(k);
    }
    Selection all(static_cast<size_t>(count > 0 ? count : 0) + 1, true);
    all[0] = false;
    std::string to = f.sandbox.out_path();
    files.UnPack(all, to);
    fuzz::check_report(files.state().report, all);
    f.sandbox.verify(files.FileName(1).find(".velmora-") != std::string::npos);

    static std::vector<uint8_t> expected;
    if (files.active_kind() == ReaderKind::gzip && count == 1 && zlib_gunzip(data, size, expected, 32u << 20)) {
        const ExtractionReport& report = files.state().report;
        fuzz::check(!(report.outcome(1) == EntryOutcome::failed && report.reason(1) == OutcomeReason::damaged),
                    "the reader calls damaged what zlib decodes");
        if (report.outcome(1) == EntryOutcome::extracted) {
            // The one file written, wherever the stored name put it.
            std::vector<std::filesystem::path> written;
            std::error_code ec;
            for (auto it = std::filesystem::recursive_directory_iterator(f.sandbox.out(), ec);
                 !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
                if (it->is_regular_file())
                    written.push_back(it->path());
            fuzz::check(written.size() == 1, "an extracted gzip file is not one file");
            const auto bytes = fuzz::regular_file_bytes(written.front());
            fuzz::check(bytes && *bytes == expected, "the extracted bytes differ from zlib's");
        }
    }
    f.sandbox.clear();
    return 0;
}
