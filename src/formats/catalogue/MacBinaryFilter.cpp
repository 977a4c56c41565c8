// MacBinary header checks (the MacBinary II layout: version 0, name at 1-64,
// two bytes that must be zero at 0x4A and 0x52, big-endian fork lengths at
// 0x53 and 0x57, a comment length and MacBinary II fields that MacLHA leaves
// zero from 0x63 on).
#include "formats/catalogue/MacBinaryFilter.h"

#include <algorithm>

namespace velmora {

namespace {

constexpr size_t off_version = 0x00;
constexpr size_t off_name_length = 0x01;
constexpr size_t off_name = 0x02;
constexpr size_t max_name_length = 63;
constexpr size_t off_zero_1 = 0x4A;
constexpr size_t off_zero_2 = 0x52;
constexpr size_t off_data_fork_length = 0x53;
constexpr size_t off_resource_fork_length = 0x57;
constexpr size_t off_zero_tail = 0x63; // comment length and MacBinary II fields
static_assert(off_name + max_name_length == 0x41);
static_assert(off_zero_tail < MacBinaryFilter::header_size);

// Forks are laid out in 128-byte blocks.
constexpr uint64_t block = 128;

uint32_t load_be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t round_up_to_block(uint64_t n) { return (n + block - 1) / block * block; }

bool all_zero(std::span<const uint8_t> bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

} // namespace

MacBinaryFilter::MacBinaryFilter(ByteSink& out, std::string_view name, uint64_t entry_size)
    : out_(out), name_(name), entry_size_(entry_size)
{
}

bool MacBinaryFilter::is_header(std::span<const uint8_t, header_size> head, std::string_view name, uint64_t entry_size)
{
    const size_t name_length = head[off_name_length];
    if (head[off_version] != 0 || head[off_zero_1] != 0 || head[off_zero_2] != 0
        || !all_zero(head.subspan(off_zero_tail)))
        return false;
    if (name_length == 0 || name_length > max_name_length || name_length != name.size()
        || !std::equal(name.begin(), name.end(), head.begin() + off_name)
        || !all_zero(head.subspan(off_name + name_length, max_name_length - name_length)))
        return false;
    // MacBinary pads each fork to whole blocks; MacLHA's entries are seen
    // with the header and both forks rounded up together.
    const uint64_t data_fork = load_be32(&head[off_data_fork_length]);
    const uint64_t resource_fork = load_be32(&head[off_resource_fork_length]);
    return round_up_to_block(header_size + data_fork + resource_fork) == entry_size
           || header_size + round_up_to_block(data_fork) + round_up_to_block(resource_fork) == entry_size;
}

bool MacBinaryFilter::forward(std::span<const uint8_t> data)
{
    const uint64_t start = at_;
    at_ += data.size();
    if (!wrapped_)
        return out_.write(data);
    // The part of [start, at_) inside the kept fork.
    const uint64_t from = std::max(start, keep_from_);
    const uint64_t to = std::min(at_, keep_to_);
    if (from >= to)
        return true;
    return out_.write(data.subspan(static_cast<size_t>(from - start), static_cast<size_t>(to - from)));
}

bool MacBinaryFilter::write(std::span<const uint8_t> data)
{
    if (!decided_) {
        const size_t n = std::min(data.size(), header_size - held_);
        std::copy_n(data.begin(), n, head_.begin() + static_cast<std::ptrdiff_t>(held_));
        held_ += n;
        data = data.subspan(n);
        if (held_ < header_size)
            return true;
        decided_ = true;
        if (is_header(head_, name_, entry_size_)) {
            wrapped_ = true;
            const uint32_t data_fork = load_be32(&head_[off_data_fork_length]);
            const uint32_t resource_fork = load_be32(&head_[off_resource_fork_length]);
            keep_from_ = data_fork > 0 ? header_size : header_size + round_up_to_block(data_fork);
            keep_to_ = keep_from_ + (data_fork > 0 ? data_fork : resource_fork);
        }
        if (!forward(head_))
            return false;
    }
    return data.empty() || forward(data);
}

bool MacBinaryFilter::finish()
{
    if (decided_)
        return true;
    // Shorter than a header: the bytes as they are.
    decided_ = true;
    return held_ == 0 || forward(std::span<const uint8_t>(head_.data(), held_));
}

} // namespace velmora
