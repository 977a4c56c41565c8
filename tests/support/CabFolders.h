// A cabinet's folders, CFDATA blocks and files for decoder tests, read with
// bounds checks from the CAB format's records, and a folder decoded block by
// block with the LZX or Quantum decoder (or copied when stored). Header-only;
// the program's own CAB reader lives in src/formats/catalogue.
#pragma once

#include "codecs/LzxDecoder.h"
#include "codecs/QuantumDecoder.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora::test {

struct CabBlock {
    std::span<const uint8_t> data; // cbData bytes
    uint16_t uncompressed = 0;     // cbUncomp
};

struct CabFolder {
    uint16_t compress_type = 0; // typeCompress: method in bits 0-3, window bits in 8-12
    std::vector<CabBlock> blocks;
    unsigned method() const { return compress_type & 0x0F; }
    unsigned window_bits() const { return (compress_type >> 8) & 0x1F; }
};

struct CabFile {
    std::string name;
    uint32_t size = 0;   // cbFile
    uint32_t offset = 0; // uoffFolderStart
    uint16_t folder = 0; // iFolder
};

struct Cabinet {
    bool complete = false; // every record lay inside the file
    std::vector<CabFolder> folders;
    std::vector<CabFile> files;
};

// CFHEADER: signature(4) reserved1(4) cbCabinet(4) reserved2(4) coffFiles(4) reserved3(4) minor(1) major(1)
//           cFolders(2) cFiles(2) flags(2) setID(2) iCabinet(2) [cbCFHeader(2) cbCFFolder(1) cbCFData(1) reserve]
//           [szCabinetPrev szDiskPrev] [szCabinetNext szDiskNext]
// CFFOLDER: coffCabStart(4) cCFData(2) typeCompress(2) reserve
// CFFILE:   cbFile(4) uoffFolderStart(4) iFolder(2) date(2) time(2) attribs(2) szName
// CFDATA:   csum(4) cbData(2) cbUncomp(2) reserve data
inline Cabinet cab_read(std::span<const uint8_t> cab)
{
    Cabinet c;
    auto le = [&cab](size_t at, int n, uint32_t& v) {
        if (at + static_cast<size_t>(n) > cab.size())
            return false;
        v = 0;
        for (int i = n; i-- > 0;)
            v = (v << 8) | cab[at + static_cast<size_t>(i)];
        return true;
    };
    auto skip_text = [&cab](size_t& at) {
        while (at < cab.size() && cab[at] != 0)
            ++at;
        return at++ < cab.size();
    };
    uint32_t files_at = 0, n_folders = 0, n_files = 0, flags = 0;
    if (cab.size() < 36 || cab[0] != 'M' || cab[1] != 'S' || cab[2] != 'C' || cab[3] != 'F')
        return c;
    le(16, 4, files_at);
    le(26, 2, n_folders);
    le(28, 2, n_files);
    le(30, 2, flags);
    size_t pos = 36;
    uint32_t header_reserve = 0, folder_reserve = 0, data_reserve = 0;
    if (flags & 4) {
        if (!le(36, 2, header_reserve) || !le(38, 1, folder_reserve) || !le(39, 1, data_reserve))
            return c;
        pos = 40 + header_reserve;
    }
    for (int k = 0; k < ((flags & 1) ? 2 : 0) + ((flags & 2) ? 2 : 0); ++k)
        if (!skip_text(pos))
            return c;
    for (uint32_t f = 0; f < n_folders; ++f, pos += 8 + folder_reserve) {
        uint32_t data_at = 0, n_blocks = 0, type = 0;
        if (!le(pos, 4, data_at) || !le(pos + 4, 2, n_blocks) || !le(pos + 6, 2, type))
            return c;
        CabFolder folder;
        folder.compress_type = static_cast<uint16_t>(type);
        size_t d = data_at;
        for (uint32_t b = 0; b < n_blocks; ++b) {
            uint32_t cb_data = 0, cb_uncomp = 0;
            if (!le(d + 4, 2, cb_data) || !le(d + 6, 2, cb_uncomp))
                return c;
            d += 8 + data_reserve;
            if (d + cb_data > cab.size())
                return c;
            folder.blocks.push_back(CabBlock{cab.subspan(d, cb_data), static_cast<uint16_t>(cb_uncomp)});
            d += cb_data;
        }
        c.folders.push_back(std::move(folder));
    }
    pos = files_at;
    for (uint32_t f = 0; f < n_files; ++f) {
        CabFile file;
        uint32_t folder = 0;
        if (!le(pos, 4, file.size) || !le(pos + 4, 4, file.offset) || !le(pos + 8, 2, folder))
            return c;
        file.folder = static_cast<uint16_t>(folder);
        size_t name = pos + 16;
        pos = name;
        if (!skip_text(pos))
            return c;
        file.name.assign(reinterpret_cast<const char*>(cab.data() + name), pos - name - 1);
        c.files.push_back(std::move(file));
    }
    c.complete = true;
    return c;
}

// Decodes a whole folder into out; the status of the first block that fails
// (out then holds the blocks before it), unsupported for MSZIP.
inline DecodeStatus cab_decode_folder(const CabFolder& folder, std::vector<uint8_t>& out, LzxDecoder& lzx,
                                      QuantumDecoder& quantum)
{
    out.clear();
    DecodeStatus status = DecodeStatus::ok;
    if (folder.method() == 3)
        status = lzx.reset(folder.window_bits());
    else if (folder.method() == 2)
        status = quantum.reset(folder.window_bits());
    else if (folder.method() != 0)
        return DecodeStatus::unsupported;
    if (status != DecodeStatus::ok)
        return status;
    for (const auto& block : folder.blocks) {
        const size_t at = out.size();
        out.resize(at + block.uncompressed);
        const std::span<uint8_t> frame(out.data() + at, block.uncompressed);
        if (folder.method() == 3) {
            status = lzx.decode_block(block.data, frame);
        } else if (folder.method() == 2) {
            status = quantum.decode_block(block.data, frame);
        } else if (block.data.size() == block.uncompressed) {
            std::copy(block.data.begin(), block.data.end(), frame.begin());
        } else {
            status = DecodeStatus::data_error;
        }
        if (status != DecodeStatus::ok) {
            out.resize(at);
            return status;
        }
    }
    return DecodeStatus::ok;
}

inline DecodeStatus cab_decode_folder(const CabFolder& folder, std::vector<uint8_t>& out)
{
    LzxDecoder lzx;
    QuantumDecoder quantum;
    return cab_decode_folder(folder, out, lzx, quantum);
}

} // namespace velmora::test
