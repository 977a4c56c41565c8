// Fuzzes the tar reader: any bytes are listed, and the entries of the listing
// (a sample of a large one) extracted into a sandboxed output folder. Where
// every header is a plain one (no pax or GNU records, strictly octal number
// fields, names without bytes after their NUL), the listing must agree with a
// minimal header walk of this target's own: count, sizes, plain ASCII names;
// and a regular member reported extracted must hold exactly its data bytes.
// Guards against headers skipped or invented by the walk, data taken from the
// wrong place, and links or names that write outside the output folder.
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"
#include "archive/Mod_DiskIO.h"
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

bool printable_ascii(const std::string& s)
{
    for (const char c : s)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
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
        m.plain_name = printable_ascii(m.name);
        out.push_back(std::move(m));
        at += block + (*size_field + block - 1) / block * block;
    }
    return out;
}

struct Fixture {
    velmora::fuzz::ScratchRoot root{"tar"};
    velmora::fuzz::MemoryArchive archive{root.path()};
    velmora::fuzz::Sandbox sandbox{root.path()};
    std::string path = archive.path("input.tar");
    Fixture() { velmora::fuzz::limit_output_file_size(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace velmora;
    static Fixture f;
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

    Selection selection = fuzz::pick_entries(count);
    std::vector<int32_t> chosen;
    std::vector<std::optional<std::string>> paths;
    std::vector<bool> folders;
    bool temporary_looking = false;
    for (int32_t k = 1; k <= count; ++k) {
        if (!selection[static_cast<size_t>(k)])
            continue;
        const std::string name = files.FileName(k);
        temporary_looking |= name.find(".velmora-") != std::string::npos;
        chosen.push_back(k);
        paths.push_back(contained_entry_path(name));
        folders.push_back(files.IsDir(k));
    }
    std::string to = f.sandbox.out_path();
    files.UnPack(selection, to);
    fuzz::check_report(files.state().report, selection);
    f.sandbox.verify(temporary_looking);

    if (raw && !raw->empty()) {
        const std::vector<bool> lone = fuzz::lone_paths(paths, folders);
        for (size_t i = 0; i < chosen.size(); ++i) {
            const RawMember& m = (*raw)[static_cast<size_t>(chosen[i]) - 1];
            const bool regular = m.type == '0' || m.type == '\0' || m.type == '7';
            if (!lone[i] || folders[i] || !regular
                || files.state().report.outcome(chosen[i]) != EntryOutcome::extracted)
                continue;
            const auto bytes = fuzz::regular_file_bytes(f.sandbox.out() / *paths[i]);
            fuzz::check(bytes.has_value(), "a member reported extracted has no file:", *paths[i]);
            fuzz::check(bytes->size() == m.size && m.data_at + m.size <= size
                            && std::equal(bytes->begin(), bytes->end(), data + m.data_at),
                        "an extracted member differs from its data:", *paths[i]);
        }
    }
    f.sandbox.clear();
    return 0;
}
