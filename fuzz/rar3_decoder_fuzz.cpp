// libFuzzer target for the RAR 2.9-4.x decoder (LZ, PPMd, filters). Input:
// byte 0 flags (bit 0: two entries of a solid group; bits 1-3: piece size of
// the second run; bit 4: also ask libarchive; bit 5: entry sizes up to 1 MiB,
// else 128 KiB), bytes 1-3 the first entry's size, then for a solid pair
// bytes 4-6 the second entry's size and bytes 7-8 where its packed data
// starts; the rest is packed data (any length).
// Checks: the same status and output whether the input comes whole or in
// small pieces, the full size on success, and, for a single entry that
// decodes, the same bytes from libarchive's RAR reader (the system's
// libarchive.so.13, loaded at run time when present) on an archive built
// around the packed data, whenever libarchive decodes it to the same CRC.
// PPMd models are limited to 32 MiB here (the real archives use 25 MiB), and
// streams that open with a PPMd block are given to libarchive less often.
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "../tests/support/Rar3TestWriter.h"
#include "codecs/Rar3Decoder.h"
#include "stream_fuzz_support.h"

namespace {

using namespace velmora;

struct run_result {
    DecodeStatus first = DecodeStatus::ok, second = DecodeStatus::ok;
    std::vector<uint8_t> out1, out2;
};

run_result run(Rar3Decoder& d, std::span<const uint8_t> p1, uint64_t size1, std::span<const uint8_t> p2, uint64_t size2,
               bool solid, size_t piece)
{
    run_result r;
    {
        fuzz::chunked_source src(p1, piece);
        VectorSink sink(r.out1);
        r.first = d.decode(src, sink, size1, false);
    }
    if (solid) {
        fuzz::chunked_source src(p2, piece);
        VectorSink sink(r.out2);
        r.second = d.decode(src, sink, size2, true);
    }
    return r;
}

// The few libarchive calls needed, resolved from the shared library.
struct libarchive_api {
    void* (*read_new)() = nullptr;
    int (*support_format_rar)(void*) = nullptr;
    int (*open_memory)(void*, const void*, size_t) = nullptr;
    int (*next_header)(void*, void**) = nullptr;
    long (*read_data)(void*, void*, size_t) = nullptr;
    int (*read_free)(void*) = nullptr;
    bool ok = false;
};

const libarchive_api& libarchive()
{
    static const libarchive_api api = [] {
        libarchive_api a;
        void* h = dlopen("libarchive.so.13", RTLD_NOW | RTLD_LOCAL);
        if (!h)
            return a;
        a.read_new = reinterpret_cast<void* (*)()>(dlsym(h, "archive_read_new"));
        a.support_format_rar = reinterpret_cast<int (*)(void*)>(dlsym(h, "archive_read_support_format_rar"));
        a.open_memory = reinterpret_cast<int (*)(void*, const void*, size_t)>(dlsym(h, "archive_read_open_memory"));
        a.next_header = reinterpret_cast<int (*)(void*, void**)>(dlsym(h, "archive_read_next_header"));
        a.read_data = reinterpret_cast<long (*)(void*, void*, size_t)>(dlsym(h, "archive_read_data"));
        a.read_free = reinterpret_cast<int (*)(void*)>(dlsym(h, "archive_read_free"));
        a.ok = a.read_new && a.support_format_rar && a.open_memory && a.next_header && a.read_data && a.read_free;
        return a;
    }();
    return api;
}

// libarchive's output for the one entry of `archive`, or false when it fails.
bool libarchive_extract(const std::vector<uint8_t>& archive, std::vector<uint8_t>& out)
{
    const libarchive_api& la = libarchive();
    void* a = la.read_new();
    bool good = a && la.support_format_rar(a) == 0 && la.open_memory(a, archive.data(), archive.size()) == 0;
    void* entry = nullptr;
    good = good && la.next_header(a, &entry) == 0;
    while (good) {
        uint8_t buf[65536];
        const long n = la.read_data(a, buf, sizeof buf);
        if (n < 0)
            good = false;
        else if (n == 0)
            break;
        else
            out.insert(out.end(), buf, buf + n);
    }
    if (a)
        la.read_free(a);
    return good;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const bool solid = data[0] & 1;
    const size_t piece = 1 + ((data[0] >> 1) & 7) * 3;
    const bool ask_libarchive = (data[0] & 0x10) != 0;
    // Garbage decodes to its full size, so large sizes are rarer: they slow every run.
    const uint32_t size_mask = (data[0] & 0x20) ? 0xFFFFF : 0x1FFFF;
    const uint64_t size1 = (data[1] | (data[2] << 8) | (data[3] << 16)) & size_mask;
    size_t header = 4;
    uint64_t size2 = 0;
    size_t split = 0;
    if (solid) {
        if (size < 9)
            return 0;
        size2 = (data[4] | (data[5] << 8) | (data[6] << 16)) & size_mask;
        split = data[7] | (data[8] << 8);
        header = 9;
    }
    const std::span<const uint8_t> packed(data + header, size - header);
    split = std::min(split, packed.size());
    const std::span<const uint8_t> p1 = solid ? packed.first(split) : packed;
    const std::span<const uint8_t> p2 = solid ? packed.subspan(split) : std::span<const uint8_t>();

    // PPMd blocks may ask for up to 256 MiB; handing that out (and libarchive
    // allocating and freeing it on every run) makes the sanitizer crawl.
    static Rar3Decoder whole_decoder, piece_decoder;
    static const bool limited = [] {
        whole_decoder.set_ppm_memory_limit(32u << 20);
        piece_decoder.set_ppm_memory_limit(32u << 20);
        return true;
    }();
    (void)limited;
    const run_result whole = run(whole_decoder, p1, size1, p2, size2, solid, SIZE_MAX);
    const run_result pieces = run(piece_decoder, p1, size1, p2, size2, solid, piece);
    if (whole.first != pieces.first || whole.out1 != pieces.out1 || whole.second != pieces.second ||
        whole.out2 != pieces.out2)
        std::abort();
    if (whole.first == DecodeStatus::ok && whole.out1.size() != size1)
        std::abort();
    if (solid && whole.second == DecodeStatus::ok && whole.out2.size() != size2)
        std::abort();

    // libarchive allocates (and frees) a stream's PPMd model on every run,
    // slow under the sanitizer: streams that open with a PPMd block go to it
    // one time in sixteen.
    const bool opens_with_ppmd = !p1.empty() && (p1[0] & 0x80) != 0;
    if (!solid && ask_libarchive && (!opens_with_ppmd || (data[1] & 0x0F) == 0) && whole.first == DecodeStatus::ok &&
        size1 > 0 && libarchive().ok) {
        test::rar_file_input f;
        f.name = "entry";
        f.packed.assign(p1.begin(), p1.end());
        f.unp_size = size1;
        f.crc = crc32_update(0, whole.out1);
        std::vector<uint8_t> theirs;
        // libarchive checks the CRC itself; when it accepts, the bytes must be ours.
        if (libarchive_extract(test::rar_write_archive({f}, false), theirs) && theirs != whole.out1)
            std::abort();
    }
    return 0;
}
