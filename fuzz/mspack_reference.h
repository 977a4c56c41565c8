// libmspack as a second decoder for the LZX and Quantum fuzz targets: builds a
// one-folder, one-file cabinet in memory around the given CFDATA blocks and
// extracts it through libmspack's cabinet decompressor with in-memory files.
// Windows come from calloc, so matches before the first byte read zeros in
// both decoders. Fuzz targets only; nothing else links libmspack.
#pragma once

#include <mspack.h>

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace velmora::fuzz {

struct mem_file {
    std::vector<uint8_t>* bytes;
    size_t pos;
};

struct mem_system {
    mspack_system sys;
    std::vector<uint8_t>* cab;
    std::vector<uint8_t>* out;
};

inline mspack_file* mem_open(mspack_system* self, const char* name, int mode)
{
    auto* ms = reinterpret_cast<mem_system*>(self);
    std::vector<uint8_t>* target = nullptr;
    if (std::strcmp(name, "in") == 0 && mode == MSPACK_SYS_OPEN_READ)
        target = ms->cab;
    else if (std::strcmp(name, "out") == 0 && mode == MSPACK_SYS_OPEN_WRITE)
        target = ms->out;
    if (!target)
        return nullptr;
    return reinterpret_cast<mspack_file*>(new mem_file{target, 0});
}
inline void mem_close(mspack_file* f) { delete reinterpret_cast<mem_file*>(f); }
inline int mem_read(mspack_file* f, void* buf, int n)
{
    auto* m = reinterpret_cast<mem_file*>(f);
    if (n < 0)
        return -1;
    const size_t k = std::min(static_cast<size_t>(n), m->bytes->size() - std::min(m->pos, m->bytes->size()));
    std::memcpy(buf, m->bytes->data() + m->pos, k);
    m->pos += k;
    return static_cast<int>(k);
}
inline int mem_write(mspack_file* f, void* buf, int n)
{
    auto* m = reinterpret_cast<mem_file*>(f);
    if (n < 0)
        return -1;
    const auto* p = static_cast<const uint8_t*>(buf);
    m->bytes->insert(m->bytes->end(), p, p + n);
    return n;
}
inline int mem_seek(mspack_file* f, off_t offset, int mode)
{
    auto* m = reinterpret_cast<mem_file*>(f);
    off_t base = mode == MSPACK_SYS_SEEK_START ? 0
                 : mode == MSPACK_SYS_SEEK_CUR ? static_cast<off_t>(m->pos)
                                               : static_cast<off_t>(m->bytes->size());
    const off_t to = base + offset;
    if (to < 0 || to > static_cast<off_t>(m->bytes->size()))
        return -1;
    m->pos = static_cast<size_t>(to);
    return 0;
}
inline off_t mem_tell(mspack_file* f) { return static_cast<off_t>(reinterpret_cast<mem_file*>(f)->pos); }
inline void mem_message(mspack_file*, const char*, ...) {}
// Freed blocks are kept for the next input of the same size: fresh 2 MiB
// windows from the system cost the fuzzer more than decoding.
struct block_pool {
    std::vector<std::pair<size_t, void*>> blocks;
    std::vector<std::pair<void*, size_t>> live;
    ~block_pool()
    {
        for (auto& b : blocks)
            std::free(b.second);
    }
};
inline block_pool& pool()
{
    static block_pool p;
    return p;
}
inline void* mem_alloc(mspack_system*, size_t n)
{
    auto& p = pool();
    void* block = nullptr;
    for (size_t i = 0; i < p.blocks.size(); ++i) {
        if (p.blocks[i].first == n) {
            block = p.blocks[i].second;
            p.blocks.erase(p.blocks.begin() + static_cast<long>(i));
            std::memset(block, 0, n);
            break;
        }
    }
    if (!block)
        block = std::calloc(1, n);
    if (block)
        p.live.emplace_back(block, n);
    return block;
}
inline void mem_free(void* block)
{
    if (!block)
        return;
    auto& p = pool();
    for (size_t i = 0; i < p.live.size(); ++i) {
        if (p.live[i].first == block) {
            const size_t n = p.live[i].second;
            p.live.erase(p.live.begin() + static_cast<long>(i));
            if (n >= 4096 && p.blocks.size() < 8) {
                p.blocks.emplace_back(n, block);
                return;
            }
            break;
        }
    }
    std::free(block);
}
inline void mem_copy(void* src, void* dst, size_t n) { std::memmove(dst, src, n); }

// typeCompress: 2 | window_bits << 8 (Quantum) or 3 | window_bits << 8 (LZX).
// True when libmspack extracted all sum(uncompressed) bytes into out.
inline bool mspack_extract(uint16_t type_compress, const std::vector<std::span<const uint8_t>>& blocks,
                           const std::vector<uint16_t>& uncompressed, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> cab;
    auto le = [&cab](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            cab.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    uint32_t total = 0;
    for (auto u : uncompressed)
        total += u;
    const uint32_t file_record = 16 + 2; // name "f"
    const uint32_t data_at = 36 + 8 + file_record;
    // CFHEADER
    cab.insert(cab.end(), {'M', 'S', 'C', 'F'});
    le(0, 4);
    le(0, 4); // cbCabinet, filled in below
    le(0, 4);
    le(36 + 8, 4); // coffFiles
    le(0, 4);
    cab.push_back(3);
    cab.push_back(1);
    le(1, 2); // cFolders
    le(1, 2); // cFiles
    le(0, 2); // flags
    le(0, 2);
    le(0, 2);
    // CFFOLDER
    le(data_at, 4);
    le(static_cast<uint32_t>(blocks.size()), 2);
    le(type_compress, 2);
    // CFFILE
    le(total, 4);
    le(0, 4);
    le(0, 2);
    le(0x5021, 2);
    le(0x6000, 2);
    le(0x20, 2);
    cab.push_back('f');
    cab.push_back(0);
    for (size_t k = 0; k < blocks.size(); ++k) {
        le(0, 4); // no checksum
        le(static_cast<uint32_t>(blocks[k].size()), 2);
        le(uncompressed[k], 2);
        cab.insert(cab.end(), blocks[k].begin(), blocks[k].end());
    }
    const auto size = static_cast<uint32_t>(cab.size());
    for (int i = 0; i < 4; ++i)
        cab[8 + i] = static_cast<uint8_t>(size >> (8 * i));

    out.clear();
    mem_system ms{};
    ms.sys.open = mem_open;
    ms.sys.close = mem_close;
    ms.sys.read = mem_read;
    ms.sys.write = mem_write;
    ms.sys.seek = mem_seek;
    ms.sys.tell = mem_tell;
    ms.sys.message = mem_message;
    ms.sys.alloc = mem_alloc;
    ms.sys.free = mem_free;
    ms.sys.copy = mem_copy;
    ms.cab = &cab;
    ms.out = &out;
    mscab_decompressor* d = mspack_create_cab_decompressor(&ms.sys);
    if (!d)
        return false;
    bool ok = false;
    if (mscabd_cabinet* c = d->open(d, const_cast<char*>("in"))) {
        if (c->files)
            ok = d->extract(d, c->files, const_cast<char*>("out")) == MSPACK_ERR_OK && out.size() == total;
        d->close(d, c);
    }
    mspack_destroy_cab_decompressor(d);
    return ok;
}

} // namespace velmora::fuzz
