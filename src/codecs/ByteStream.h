// The streaming interface every decoder works through: input pulled from a
// ByteSource in pieces, output pushed to a ByteSink in pieces, and one status
// type for how a stream ended. No decoder holds a whole entry in memory; each
// keeps only its window and its buffers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velmora {

// How a decode ended. Each decoder maps its own conditions onto these in one
// place; the readers turn them into the messages their formats show.
enum class DecodeStatus {
    ok,           // the stream ended where its format says it ends (or the expected size was produced)
    truncated,    // the input ran out before the end of the stream
    data_error,   // the stream breaks the format's rules (bad table, bad distance, bad block type, ...)
    output_limit, // the stream would produce more than the caller allowed
    stopped,      // the sink asked to stop (the user cancelled, or the output could not be written)
    no_memory,    // a buffer could not be allocated
    unsupported,  // a valid stream using a feature this decoder does not handle
};

std::string_view decode_status_name(DecodeStatus s);

// Where a decoder reads from. read() fills up to out.size() bytes and returns
// how many it gave; 0 means the input has ended (or can no longer be read).
// A source may give fewer bytes than asked for at any time.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual size_t read(std::span<uint8_t> out) = 0;
};

// Where a decoder writes to. write() takes every byte it is given or returns
// false, which asks the decoder to stop at once with DecodeStatus::stopped.
// Sinks see the output in pieces of any size, in order.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(std::span<const uint8_t> data) = 0;
};

// A source over bytes already in memory.
class SpanSource final : public ByteSource {
public:
    explicit SpanSource(std::span<const uint8_t> data) : data_(data) {}
    size_t read(std::span<uint8_t> out) override
    {
        const size_t n = std::min(out.size(), data_.size());
        std::copy_n(data_.begin(), n, out.begin());
        data_ = data_.subspan(n);
        return n;
    }
    size_t remaining() const { return data_.size(); }

private:
    std::span<const uint8_t> data_;
};

// A sink that appends to a vector, refusing to grow past `limit` bytes (the
// write that would pass it is refused whole, nothing of it is kept).
class VectorSink final : public ByteSink {
public:
    explicit VectorSink(std::vector<uint8_t>& out, uint64_t limit = UINT64_MAX) : out_(out), limit_(limit) {}
    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > limit_ - std::min<uint64_t>(limit_, out_.size()))
            return false;
        out_.insert(out_.end(), data.begin(), data.end());
        return true;
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t limit_;
};

// A sink that drops what it is given (solid archives decode the entries
// before a wanted one without writing them).
class DiscardSink final : public ByteSink {
public:
    bool write(std::span<const uint8_t> data) override
    {
        total += data.size();
        return true;
    }
    uint64_t total = 0;
};

inline std::string_view decode_status_name(DecodeStatus s)
{
    switch (s) {
    case DecodeStatus::ok: return "ok";
    case DecodeStatus::truncated: return "truncated";
    case DecodeStatus::data_error: return "data_error";
    case DecodeStatus::output_limit: return "output_limit";
    case DecodeStatus::stopped: return "stopped";
    case DecodeStatus::no_memory: return "no_memory";
    case DecodeStatus::unsupported: return "unsupported";
    }
    return "?";
}

} // namespace velmora
