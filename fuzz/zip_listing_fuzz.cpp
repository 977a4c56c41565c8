// Fuzzes the ZIP directory reader: any bytes, loaded as an archive file, must
// list or be refused without a crash, a hang or a read outside the data. Where
// the input is a plain archive (one end record, last in the file, naming a
// central directory that is exactly a run of central headers), the listing
// must agree with those headers as this target reads them itself: the count,
// each CRC and size, and each plain ASCII name.
#include "archive/HeadlessWindow.h"
#include "formats/zip/Cls_Zip.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using velmora::fuzz::le16;
using velmora::fuzz::le32;

struct RawCentral {
    std::string name;
    uint32_t crc = 0;
    uint32_t csize = 0;
    uint32_t usize = 0;
    bool plain_name = false; // printable ASCII, and no Unicode Path block that could replace it
};

bool has_unicode_path_block(const uint8_t* extra, size_t n)
{
    // Any 0x7075 tag at a block boundary, or a walk that does not tile the
    // field (the reader might then read blocks differently): say yes.
    size_t at = 0;
    while (at + 4 <= n) {
        if (le16(extra + at) == 0x7075)
            return true;
        at += 4 + le16(extra + at + 2);
    }
    return at != n;
}

// The central directory of a plain archive (APPNOTE 4.3.12, 4.3.16), or
// nothing when the input is anything else.
std::optional<std::vector<RawCentral>> plain_directory(const uint8_t* data, size_t size)
{
    constexpr size_t eocd = 22, central = 46;
    if (size < eocd)
        return std::nullopt;
    const size_t record = size - eocd;
    const uint8_t* e = data + record;
    if (le32(e) != 0x06054B50 || le16(e + 20) != 0)
        return std::nullopt;
    // No second end record anywhere the reader searches, and no Zip64 locator.
    const size_t search_from = size > eocd + 0xFFFF ? size - eocd - 0xFFFF : 0;
    for (size_t i = search_from; i + 4 <= size && i < record; ++i)
        if (le32(data + i) == 0x06054B50)
            return std::nullopt;
    if (record >= 20 && le32(data + record - 20) == 0x07064B50)
        return std::nullopt;
    const uint16_t count = le16(e + 10);
    const uint32_t cd_size = le32(e + 12);
    const uint32_t cd_offset = le32(e + 16);
    if (count == 0xFFFF || cd_offset >= record || uint64_t{cd_offset} + cd_size != record)
        return std::nullopt;

    std::vector<RawCentral> out;
    size_t at = cd_offset;
    while (at < record) {
        if (record - at < central || le32(data + at) != 0x02014B50)
            return std::nullopt;
        const uint8_t* h = data + at;
        const size_t n = le16(h + 28), x = le16(h + 30), c = le16(h + 32);
        if (record - at - central < n + x + c)
            return std::nullopt;
        RawCentral r;
        r.crc = le32(h + 16);
        r.csize = le32(h + 20);
        r.usize = le32(h + 24);
        r.name.assign(reinterpret_cast<const char*>(h + central), n);
        r.plain_name = velmora::fuzz::printable_ascii({reinterpret_cast<const char*>(h + central), n}) && !has_unicode_path_block(h + central + n, x);
        out.push_back(std::move(r));
        at += central + n + x + c;
    }
    if (out.size() != count)
        return std::nullopt;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    static fuzz::ScratchRoot root("zip_listing");
    static fuzz::MemoryArchive archive(root.path());
    static const std::string path = archive.path("input.zip");
    archive.assign(data, size);

    HeadlessWindow window;
    ArchiveState state(window);
    Cls_Zip zip(state);
    zip.Get_Contents(path);
    fuzz::check(window.messages.size() <= 1, "more than one \"Unknown Zip Header.\" box in one load");
    const int32_t count = zip.FileCount();
    size_t sink = 0;
    for (int32_t k = 0; k <= count + 1 && k < 100000; ++k) {
        sink += zip.FileName(k).size() + zip.CommentsFile(k).size() + zip.IsDir(k) + zip.Method(k).size();
        sink += static_cast<size_t>(zip.FileDateTime(k).year) + zip.SystemMadeBy(k).size() + zip.VersionNeeded(k).size();
    }
    if (sink == 1)
        std::fputc(0, stderr); // keeps the calls from being optimised away

    const auto raw = plain_directory(data, size);
    if (!raw)
        return 0;
    fuzz::check(count == static_cast<int32_t>(raw->size()), "entry count differs from the central directory",
                std::to_string(count) + " vs " + std::to_string(raw->size()));
    for (int32_t k = 1; k <= count; ++k) {
        const RawCentral& r = (*raw)[static_cast<size_t>(k) - 1];
        fuzz::check(zip.CRC32(k) == static_cast<int32_t>(r.crc), "CRC differs for entry", std::to_string(k));
        if (r.csize != 0xFFFFFFFF)
            fuzz::check(zip.Compressed_Size(k) == r.csize, "compressed size differs for entry", std::to_string(k));
        if (r.usize != 0xFFFFFFFF)
            fuzz::check(zip.UnCompressed_Size(k) == r.usize, "size differs for entry", std::to_string(k));
        if (r.plain_name)
            fuzz::check(zip.FileName(k) == r.name, "name differs:", zip.FileName(k) + " vs " + r.name);
    }
    return 0;
}
