// Fuzzes the tar reader: any bytes are listed, and the entries of the listing
// (a sample of a large one) extracted into a sandboxed output folder. Where
// every header is a plain one (no pax or GNU records, strictly octal number
// fields, names without bytes after their NUL), the listing must agree with a
// minimal header walk of this target's own: count, sizes, plain ASCII names;
// and a regular member reported extracted must hold exactly its data bytes.
// Guards against headers skipped or invented by the walk, data taken from the
// wrong place, and links or names that write outside the output folder.
#include "archive/HeadlessWindow.h"
#include "fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr size_t block = 512;

struct RawMember {
    std::string name;
    uint64_t size = 0;
    uint64_t data_at = 0;
    char type = 0;
    bool plain_name = false;
};

// A strictly written octal field: optional leading spaces, at least one octal
// digit, then only spaces and NULs.
std::optional<uint64_t> strict_octal(const uint8_t* p, size_t n)
{
    size_t i = 0;
    while (i < n && p[i] == ' ')
        ++i;
    uint64_t v = 0;
    size_t digits = 0;
    for (; i < n && p[i] >= '0' && p[i] <= '7'; ++i, ++digits)
        v = v * 8 + (p[i] - '0');
    for (; i < n; ++i)
        if (p[i] != ' ' && p[i] != 0)
            return std::nullopt;
    if (digits == 0)
        return std::nullopt;
    return v;
}

// A text field up to its NUL; nothing when other bytes follow the NUL.
std::optional<std::string> strict_text(const uint8_t* p, size_t n)
{
    const size_t len = strnlen(reinterpret_cast<const char*>(p), n);
    for (size_t i = len; i < n; ++i)
        if (p[i] != 0)
            return std::nullopt;
    return std::string(reinterpret_cast<const char*>(p), len);
}

// The members of an archive of plain headers (POSIX ustar or old tar), up to
// the first empty name or the end of the data; nothing for any other input.
std::optional<std::vector<RawMember>> plain_members(const uint8_t* data, size_t size)
{
    std::vector<RawMember> out;
    for (uint64_t at = 0; at + block <= size;) {
        const uint8_t* h = data + at;
        const auto name = strict_text(h, 100);
        if (!name)
            return std::nullopt;
        if (name->empty())
            break;
        const char type = static_cast<char>(h[156]);
        if (type == 'L' || type == 'K' || type == 'x' || type == 'g')
            return std::nullopt;
        const auto size_field = strict_octal(h + 124, 12);
        if (!size_field || !strict_octal(h + 136, 12) || !strict_octal(h + 148, 8))
            return std::nullopt;
        RawMember m;
        m.name = *name;
        if (std::memcmp(h + 257, "ustar\0", 6) == 0) {
            const size_t prefix_len = strnlen(reinterpret_cast<const char*>(h + 345), 155);
            if (prefix_len > 0)
                m.name = std::string(reinterpret_cast<const char*>(h + 345), prefix_len) + "/" + m.name;
        }
        m.size = *size_field;
        m.data_at = at + block;
        m.type = type;
        m.plain_name = velmora::fuzz::printable_ascii(m.name);
        out.push_back(std::move(m));
        at += block + (*size_field + block - 1) / block * block;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    static fuzz::ReaderFixture f("tar", "input.tar");
    f.archive.assign(data, size);

    HeadlessWindow window;
    Cls_GetFileType files(window);
    files.Get_Contents(f.path);
    const int32_t count = files.FileCount();
    const bool is_tar = files.active_kind() == ReaderKind::tar;

    const auto raw = plain_members(data, size);
    if (raw && !raw->empty()) {
        fuzz::check(is_tar, "plain tar headers not loaded as tar");
        fuzz::check(count == static_cast<int32_t>(raw->size()), "member count differs from the header walk",
                    std::to_string(count) + " vs " + std::to_string(raw->size()));
        for (int32_t k = 1; k <= count; ++k) {
            const RawMember& m = (*raw)[static_cast<size_t>(k) - 1];
            fuzz::check(files.UnCompressed_Size(k) == static_cast<int64_t>(m.size), "size differs for member",
                        std::to_string(k));
            if (m.plain_name)
                fuzz::check(files.FileName(k) == m.name, "name differs:", files.FileName(k) + " vs " + m.name);
        }
    }
    if (count <= 0)
        return 0;

    const fuzz::SampledExtraction x = fuzz::extract_sample(files, f);

    if (raw && !raw->empty()) {
        for (size_t i = 0; i < x.chosen.size(); ++i) {
            const RawMember& m = (*raw)[static_cast<size_t>(x.chosen[i]) - 1];
            const bool regular = m.type == '0' || m.type == '\0' || m.type == '7';
            if (!x.lone[i] || x.folders[i] || !regular
                || files.state().report.outcome(x.chosen[i]) != EntryOutcome::extracted)
                continue;
            const auto bytes = fuzz::regular_file_bytes(f.sandbox.out() / *x.paths[i]);
            fuzz::check(bytes.has_value(), "a member reported extracted has no file:", *x.paths[i]);
            fuzz::check(bytes->size() == m.size && m.data_at + m.size <= size
                            && std::equal(bytes->begin(), bytes->end(), data + m.data_at),
                        "an extracted member differs from its data:", *x.paths[i]);
        }
    }
    f.sandbox.clear();
    return 0;
}
