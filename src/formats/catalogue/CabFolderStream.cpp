// A cabinet folder decoded block by block. The CFDATA blocks are read in
// 256 KiB pieces (a block is at most 64 KiB of data and 255 reserve bytes),
// each checked and decoded into one frame;
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
// Input is read in pieces of this size (or one block, when larger).
constexpr size_t input_read_size = size_t{256} << 10;
static_assert(input_read_size >= max_block_size, "a block always fits the input buffer");
// cbUncomp is 16 bits; only stored blocks may use more than 32 KiB of it.
constexpr size_t max_frame_size = 65535;

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

// The frame of an MSZIP block: written into the stream's frame buffer, and
// never past the block's cbUncomp.
class frame_sink final : public ByteSink {
public:
    explicit frame_sink(std::span<uint8_t> frame) : frame_(frame) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > frame_.size() - size_)
            return false;
        std::copy(data.begin(), data.end(), frame_.begin() + static_cast<ptrdiff_t>(size_));
        size_ += data.size();
        return true;
    }
    size_t size() const { return size_; }

private:
    std::span<uint8_t> frame_;
    size_t size_ = 0;
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
    frame_size_ = 0;
    frame_used_ = 0;
    input_size_ = 0; // another cabinet, or the same one changed

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
        input_.resize(input_read_size);
        // Sized once: a frame is decoded over the last one, never cleared.
        frame_.resize(max_frame_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
    active_ = true;
    return DecodeStatus::ok;
}

std::span<const uint8_t> CabFolderStream::bytes_at(uint64_t offset, size_t count)
{
    if (offset >= input_at_ && offset - input_at_ + count <= input_size_)
        return std::span<const uint8_t>(input_).subspan(static_cast<size_t>(offset - input_at_), count);
    // Blocks follow one another: one read takes the next several.
    input_at_ = offset;
    input_size_ = file_->read_at(offset, std::span<uint8_t>(input_).first(std::max(count, input_read_size)));
    if (input_size_ < count)
        return {};
    return std::span<const uint8_t>(input_).first(count);
}

DecodeStatus CabFolderStream::next_block()
{
    if (blocks_read_ >= folder_.cCFData)
        return fail(DecodeStatus::truncated);
    const size_t header_size = data_header_size + data_reserve_;
    const auto header = bytes_at(next_block_at_, header_size);
    if (header.empty())
        return fail(DecodeStatus::truncated);
    const uint32_t csum = load_le32(header.data() + off_csum);
    const uint16_t cbData = load_le16(header.data() + off_cbData);
    const uint16_t cbUncomp = load_le16(header.data() + off_cbUncomp);
    // cbUncomp 0: the rest of this block is in the next cabinet. Files that
    // need it are marked as continued and skipped before they get here.
    if (cbUncomp == 0)
        return fail(DecodeStatus::truncated);
    const auto block = bytes_at(next_block_at_, header_size + cbData);
    if (block.empty())
        return fail(DecodeStatus::truncated);
    const auto data = block.subspan(header_size);
    next_block_at_ += header_size + cbData;
    ++blocks_read_;

    // csum 0 means no checksum was stored. The sum covers the data, then
    // cbData, cbUncomp and the reserve bytes.
    if (csum != 0) {
        const uint32_t sum = cab_checksum(data, 0);
        if (cab_checksum(block.subspan(off_cbData, header_size - off_cbData), sum) != csum)
            return fail(DecodeStatus::data_error);
    }
    return decode_block(data, cbUncomp);
}

DecodeStatus CabFolderStream::decode_block(std::span<const uint8_t> data, uint16_t cbUncomp)
{
    frame_used_ = 0;
    frame_size_ = 0;
    const std::span<uint8_t> frame = std::span<uint8_t>(frame_).first(cbUncomp);
    DecodeStatus status = DecodeStatus::ok;
    switch (static_cast<cab_method>(folder_.typeCompress & 0x0F)) {
    case cab_method::none:
        if (data.size() != cbUncomp)
            return fail(DecodeStatus::data_error);
        std::copy(data.begin(), data.end(), frame.begin());
        break;
    case cab_method::mszip: {
        if (data.size() < 2 || data[0] != mszip_signature[0] || data[1] != mszip_signature[1])
            return fail(DecodeStatus::data_error);
        SpanSource in(data.subspan(2));
        frame_sink out(frame);
        status = inflate_->decode(in, out, cbUncomp, blocks_read_ > 1);
        if (status == DecodeStatus::ok && out.size() != cbUncomp)
            status = DecodeStatus::data_error;
        break;
    }
    case cab_method::quantum:
        status = quantum_->decode_block(data, frame);
        break;
    case cab_method::lzx:
        status = lzx_->decode_block(data, frame);
        break;
    }
    if (status != DecodeStatus::ok) {
        // A stream that stops short inside one block is a damaged block:
        // the block itself is whole.
        return fail(status == DecodeStatus::truncated || status == DecodeStatus::output_limit
                        ? DecodeStatus::data_error
                        : status);
    }
    frame_size_ = cbUncomp;
    return DecodeStatus::ok;
}

DecodeStatus CabFolderStream::pass(uint64_t count, ByteSink* sink)
{
    while (count > 0) {
        if (!active_)
            return failed_ != DecodeStatus::ok ? failed_ : DecodeStatus::data_error;
        if (frame_used_ == frame_size_) {
            const DecodeStatus status = next_block();
            if (status != DecodeStatus::ok)
                return status;
        }
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, frame_size_ - frame_used_));
        if (sink && !sink->write(std::span<const uint8_t>(frame_).subspan(frame_used_, n)))
            return fail(DecodeStatus::stopped);
        frame_used_ += n;
        position_ += n;
        count -= n;
    }
    return DecodeStatus::ok;
}

} // namespace velmora
