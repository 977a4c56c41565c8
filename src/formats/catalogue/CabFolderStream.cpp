// A cabinet folder decoded block by block. Each CFDATA block is read whole
// (at most 64 KiB of data and 255 reserve bytes) and decoded into one frame;
// MSZIP blocks are each a deflate stream whose window carries on from the
// previous block, LZX and Quantum keep their models for the whole folder.
#include "formats/catalogue/CabFolderStream.h"

#include "archive/ByteFields.h"
#include "codecs/InflateDecoder.h"
#include "codecs/LzxDecoder.h"
#include "codecs/QuantumDecoder.h"

#include <algorithm>
#include <new>

namespace velmora {

namespace {

// CFDATA: csum(4) cbData(2) cbUncomp(2) abReserve(cbCFData) ab(cbData)
constexpr size_t data_header_size = 8;
constexpr size_t off_csum = 0;
constexpr size_t off_cbData = 4;
constexpr size_t off_cbUncomp = 6;
constexpr size_t max_block_size = data_header_size + 255 + 65535;

// An MSZIP block opens with these two bytes before its deflate stream.
constexpr uint8_t mszip_signature[2] = {'C', 'K'};

template <typename T>
bool make_once(std::unique_ptr<T>& p)
{
    if (!p) {
        try {
            p = std::make_unique<T>();
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    return true;
}

// The frame of an MSZIP block: written into the stream's frame vector,
// which never grows past the block's cbUncomp.
class frame_sink final : public ByteSink {
public:
    frame_sink(std::vector<uint8_t>& frame, size_t limit) : frame_(frame), limit_(limit) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > limit_ - frame_.size())
            return false;
        frame_.insert(frame_.end(), data.begin(), data.end());
        return true;
    }

private:
    std::vector<uint8_t>& frame_;
    size_t limit_;
};

} // namespace

uint32_t cab_checksum(std::span<const uint8_t> bytes, uint32_t seed)
{
    uint32_t sum = seed;
    const size_t whole = bytes.size() & ~size_t{3};
    for (size_t i = 0; i < whole; i += 4)
        sum ^= load_le32(bytes.data() + i);
    // The last one to three bytes go in high byte first: 3 bytes a b c make
    // the word 0x00abc, 2 bytes a b make 0x0000ab.
    uint32_t last = 0;
    for (size_t i = whole; i < bytes.size(); ++i)
        last = (last << 8) | bytes[i];
    return sum ^ last;
}

CabFolderStream::CabFolderStream() = default;
CabFolderStream::~CabFolderStream() = default;

bool CabFolderStream::holds(const cab_folder& folder) const
{
    return (active_ || failed_ != DecodeStatus::ok) && folder.coffCabStart == folder_.coffCabStart && folder.cCFData == folder_.cCFData &&
           folder.typeCompress == folder_.typeCompress;
}

DecodeStatus CabFolderStream::fail(DecodeStatus status)
{
    active_ = false;
    // A damaged folder stays failed for the files after the fault, so it is
    // not decoded again for each of them; a stopped one starts over.
    if (status != DecodeStatus::stopped)
        failed_ = status;
    return status;
}

DecodeStatus CabFolderStream::start(const BinaryFile& file, const cab_folder& folder, uint8_t cbCFData)
{
    active_ = false;
    failed_ = DecodeStatus::ok;
    file_ = &file;
    folder_ = folder;
    data_reserve_ = cbCFData;
    next_block_at_ = folder.coffCabStart;
    blocks_read_ = 0;
    position_ = 0;
    continues_ = false;
    frame_.clear();
    frame_used_ = 0;

    const unsigned window_bits = (folder.typeCompress >> 8) & 0x1F;
    DecodeStatus status = DecodeStatus::ok;
    switch (static_cast<cab_method>(folder.typeCompress & 0x0F)) {
    case cab_method::none:
        break;
    case cab_method::mszip:
        try {
            if (!inflate_)
                inflate_ = std::make_unique<InflateDecoder>();
        } catch (const std::bad_alloc&) {
            return DecodeStatus::no_memory;
        }
        break;
    case cab_method::quantum:
        if (!make_once(quantum_))
            return DecodeStatus::no_memory;
        status = quantum_->reset(window_bits);
        break;
    case cab_method::lzx:
        if (!make_once(lzx_))
            return DecodeStatus::no_memory;
        status = lzx_->reset(window_bits);
        break;
    default:
        return DecodeStatus::unsupported;
    }
    if (status != DecodeStatus::ok)
        return status;
    try {
        block_.reserve(max_block_size);
        frame_.reserve(65535);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
    active_ = true;
    return DecodeStatus::ok;
}

DecodeStatus CabFolderStream::next_block()
{
    if (blocks_read_ >= folder_.cCFData)
        return fail(DecodeStatus::truncated);
    const size_t header_size = data_header_size + data_reserve_;
    block_.resize(header_size);
    if (!file_->read_exact(next_block_at_, block_))
        return fail(DecodeStatus::truncated);
    const uint32_t csum = load_le32(block_.data() + off_csum);
    const uint16_t cbData = load_le16(block_.data() + off_cbData);
    const uint16_t cbUncomp = load_le16(block_.data() + off_cbUncomp);
    if (cbUncomp == 0) {
        // The rest of this block's data is in the next cabinet.
        continues_ = true;
        return fail(DecodeStatus::truncated);
    }
    block_.resize(header_size + cbData);
    const auto data = std::span<uint8_t>(block_).subspan(header_size);
    if (!file_->read_exact(next_block_at_ + header_size, data))
        return fail(DecodeStatus::truncated);
    next_block_at_ += header_size + cbData;
    ++blocks_read_;

    // csum 0 means no checksum was stored. The sum covers the data, then
    // cbData, cbUncomp and the reserve bytes.
    if (csum != 0) {
        const uint32_t sum = cab_checksum(data, 0);
        if (cab_checksum(std::span<const uint8_t>(block_).subspan(off_cbData, header_size - off_cbData), sum) != csum)
            return fail(DecodeStatus::data_error);
    }
    return decode_block(data, cbUncomp);
}

DecodeStatus CabFolderStream::decode_block(std::span<const uint8_t> data, uint16_t cbUncomp)
{
    frame_used_ = 0;
    frame_.clear();
    DecodeStatus status = DecodeStatus::ok;
    switch (static_cast<cab_method>(folder_.typeCompress & 0x0F)) {
    case cab_method::none:
        if (data.size() != cbUncomp)
            return fail(DecodeStatus::data_error);
        frame_.assign(data.begin(), data.end());
        return DecodeStatus::ok;
    case cab_method::mszip: {
        if (data.size() < 2 || data[0] != mszip_signature[0] || data[1] != mszip_signature[1])
            return fail(DecodeStatus::data_error);
        SpanSource in(data.subspan(2));
        frame_sink out(frame_, cbUncomp);
        status = inflate_->decode(in, out, cbUncomp, blocks_read_ > 1);
        if (status == DecodeStatus::ok && frame_.size() != cbUncomp)
            status = DecodeStatus::data_error;
        break;
    }
    case cab_method::quantum:
        frame_.resize(cbUncomp);
        status = quantum_->decode_block(data, frame_);
        break;
    case cab_method::lzx:
        frame_.resize(cbUncomp);
        status = lzx_->decode_block(data, frame_);
        break;
    }
    if (status != DecodeStatus::ok) {
        frame_.clear();
        // A stream that stops short inside one block is a damaged block:
        // the block itself is whole.
        return fail(status == DecodeStatus::truncated || status == DecodeStatus::output_limit
                        ? DecodeStatus::data_error
                        : status);
    }
    return DecodeStatus::ok;
}

DecodeStatus CabFolderStream::pass(uint64_t count, ByteSink* sink)
{
    while (count > 0) {
        if (!active_)
            return failed_ != DecodeStatus::ok ? failed_ : DecodeStatus::data_error;
        if (frame_used_ == frame_.size()) {
            const DecodeStatus status = next_block();
            if (status != DecodeStatus::ok)
                return status;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, frame_.size() - frame_used_));
        if (sink && !sink->write(std::span<const uint8_t>(frame_).subspan(frame_used_, n)))
            return fail(DecodeStatus::stopped);
        frame_used_ += n;
        position_ += n;
        count -= n;
    }
    return DecodeStatus::ok;
}

} // namespace velmora
