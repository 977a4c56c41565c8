// Streaming Unreduce: ZIP methods 2 to 5 (reduction factors 1 to 4) as in the
// PKWARE APPNOTE (section 5.2): follower sets, then the DLE run-length /
// back-reference stage. Reduce has no end marker: a decode makes exactly the
// expected size. Memory is the 4 KiB window and two buffers, whatever the size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "codecs/ByteStream.h"

namespace velmora {

class UnreduceDecoder {
public:
    // method: the ZIP method 2..5; any other makes decode return unsupported.
    // Throws std::bad_alloc only here, never from decode.
    explicit UnreduceDecoder(int method);
    ~UnreduceDecoder();
    UnreduceDecoder(const UnreduceDecoder&) = delete;
    UnreduceDecoder& operator=(const UnreduceDecoder&) = delete;

    // Decodes exactly out_size bytes from `in` to `out` (ok), unless the sink
    // stops it. Input that ends early reads as zero bits from the read that
    // runs past its end on, and copies reaching before the first byte read
    // zeros (PKZIP codes runs as copies from a zeroed window); neither is an
    // error. One decoder can decode any number of entries.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size);
    // The same with the input wholly in memory (no input buffer).
    DecodeStatus decode(std::span<const uint8_t> in, ByteSink& out, uint64_t out_size);

    // After a decode: some follower set declared more than 32 members (cut to 32).
    bool follower_count_cut() const { return count_cut_; }
    // After a decode: the input ended before the output did.
    bool input_ran_out() const { return ran_out_; }

private:
    struct follower_sets;

    DecodeStatus run(uint64_t out_size);
    void refill_input();
    void refill_bits();
    uint32_t get_bits(unsigned n);
    uint8_t next_code(uint8_t last);
    bool flush_and_slide();

    const unsigned shift_;     // 9 - method: the low bits of a DLE's first byte are the length
    const bool supported_;

    // Input: in_size_ bytes at in_ (the owned buffer, filled from source_, or
    // the caller's span); in_next_ is the next byte not yet in the bit buffer.
    std::unique_ptr<uint8_t[]> in_buf_;
    ByteSource* source_ = nullptr;
    const uint8_t* in_ = nullptr;
    size_t in_size_ = 0;
    size_t in_next_ = 0;
    bool in_final_ = true;
    uint64_t bitbuf_ = 0;
    unsigned bitcount_ = 0;

    // Output: the window's 4 KiB, then up to a flush's worth of new bytes.
    std::unique_ptr<uint8_t[]> out_buf_;
    size_t out_cap_ = 0;
    size_t out_pos_ = 0;
    ByteSink* sink_ = nullptr;
    bool sink_stopped_ = false;

    std::unique_ptr<follower_sets> sets_;
    bool count_cut_ = false;
    bool ran_out_ = false;
};

} // namespace velmora
