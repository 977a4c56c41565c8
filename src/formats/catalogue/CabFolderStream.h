// The decoded bytes of one cabinet folder, handed out in order: the folder's
// CFDATA blocks are read one at a time, their checksums checked, and each is
// decoded (stored, MSZIP, Quantum or LZX) into a frame of at most 32 KiB that
// the files of the folder take their bytes from. Holds 256 KiB of input and one
// frame; the decoders live as long as the stream, across folders.
#pragma once

#include "archive/BinaryFile.h"
#include "codecs/ByteStream.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace velmora {

class InflateDecoder;
class LzxDecoder;
class QuantumDecoder;

// Where a folder's data lies (a CFFOLDER record).
struct cab_folder {
    uint32_t coffCabStart = 0; // the first CFDATA block
    uint16_t cCFData = 0;      // blocks in this cabinet
    uint16_t typeCompress = 0; // method in bits 0-3, window bits in 8-12
};

// typeCompress methods.
enum class cab_method : uint8_t { none = 0, mszip = 1, quantum = 2, lzx = 3 };

// The CAB checksum of `bytes` continued from `seed`: the bytes taken as
// little-endian 32-bit words and XORed together, a last partial word with
// its bytes in the reverse order.
uint32_t cab_checksum(std::span<const uint8_t> bytes, uint32_t seed);

class CabFolderStream {
public:
    CabFolderStream();
    ~CabFolderStream();
    CabFolderStream(const CabFolderStream&) = delete;
    CabFolderStream& operator=(const CabFolderStream&) = delete;

    // Starts `folder` of the cabinet in `file` at its first byte. cbCFData:
    // the reserve bytes in each CFDATA header. unsupported for a method above
    // 3; data_error for a window size outside the method's range.
    DecodeStatus start(const BinaryFile& file, const cab_folder& folder, uint8_t cbCFData);

    // The folder started by `start` and the count of its bytes handed out.
    // A damaged folder is still held (every later pass fails the same way);
    // a stopped one is not, and has to be started again.
    bool holds(const cab_folder& folder) const;
    uint64_t position() const { return position_; }

    // Hands the next `count` bytes of the folder to `sink` (dropped when
    // null). truncated when the folder's blocks end first (or continue in the
    // next cabinet: a block with cbUncomp 0), data_error for a
    // block whose checksum does not match or that does not decode to its
    // cbUncomp, stopped when the sink refused.
    DecodeStatus pass(uint64_t count, ByteSink* sink);

private:
    // `count` bytes of the cabinet at `offset`; empty when the file ends first.
    std::span<const uint8_t> bytes_at(uint64_t offset, size_t count);
    DecodeStatus next_block();
    DecodeStatus decode_block(std::span<const uint8_t> data, uint16_t cbUncomp);
    DecodeStatus fail(DecodeStatus status);

    const BinaryFile* file_ = nullptr;
    cab_folder folder_;
    bool active_ = false;
    DecodeStatus failed_ = DecodeStatus::ok;
    uint8_t data_reserve_ = 0;
    uint64_t next_block_at_ = 0;
    uint32_t blocks_read_ = 0;
    uint64_t position_ = 0;

    // Bytes of the cabinet from input_at_, input_size_ of them; the blocks
    // are taken from here.
    std::vector<uint8_t> input_;
    uint64_t input_at_ = 0;
    size_t input_size_ = 0;
    std::vector<uint8_t> frame_; // its decoded bytes, frame_size_ of them
    size_t frame_size_ = 0;
    size_t frame_used_ = 0; // of them already handed out

    std::unique_ptr<InflateDecoder> inflate_;
    std::unique_ptr<LzxDecoder> lzx_;
    std::unique_ptr<QuantumDecoder> quantum_;
};

} // namespace velmora
