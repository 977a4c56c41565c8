// Streaming Inflate and Deflate64 (RFC 1951; Deflate64 as PKWARE's method 9:
// length 258 extended by 16 bits, distance codes 30 and 31, 64 KiB window) in
// one decoder with a mode flag. Input is pulled from a ByteSource into a
// 128 KiB buffer, output goes to a ByteSink in pieces of about 256 KiB; memory
// is those buffers (1.2 MiB with the window) and the tables, whatever the
// stream's size.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codecs/ByteStream.h"

namespace velmora {

class WindowServices;

// How the end of the input and stored-block headers are read. Both rule sets
// take what the program has always taken: symbols 286 and 287 as length 0
// (a distance is read, nothing is copied), distance codes 30 and 31 in
// Deflate mode too, and a distance code with one one-bit codeword or none.
enum class inflate_rules : uint8_t {
    // RFC 1951 as zlib reads it: input that ends before the end of the final
    // block is `truncated`; a stored block's NLEN must be the complement of
    // LEN (else data_error, stored_length).
    rfc1951,
    // The rules of an entry read whole (Inflate): bits past the end of the
    // input read as zeros; a stored block's header needs five bytes from where
    // the bit buffer has read to, and a stored block whose data runs past the
    // input or past out_limit ends the decode before any of it is copied
    // (stored_short); a wrong NLEN is noted (stored_length_mismatch) and
    // decoding goes on.
    whole_entry,
};

// Why a decode ended without reaching the end of the final block.
enum class inflate_fault : uint8_t {
    none,          // ok, stopped by the sink, or out of memory
    input_end,     // rfc1951: the input ended inside the stream (truncated)
    output_limit,  // the stream makes more than out_limit bytes (output_limit)
    block_type_3,  // BTYPE 3, reserved (data_error)
    stored_length, // rfc1951: NLEN is not the complement of LEN (data_error)
    stored_short,  // whole_entry: a stored header or its data past the input (truncated) or its data past out_limit (output_limit)
    bad_table,     // a Huffman code over-subscribed or incomplete, a repeat with nothing before it, a repeat past HLIT + HDIST (data_error)
    bad_code,      // a codeword in the unused part of a sparse distance code (data_error)
    bad_distance,  // a distance reaching before the first byte of the window (data_error)
    input_used_up, // whole_entry: input used up inside a block whose all-zero codeword is not end of block (data_error)
};

class InflateDecoder {
public:
    // window, when given, shows "Error in tree creation (Static)." for a bad
    // Huffman table. Throws std::bad_alloc only here, never from decode.
    explicit InflateDecoder(bool deflate64 = false, inflate_rules rules = inflate_rules::rfc1951, WindowServices* window = nullptr);
    ~InflateDecoder();
    InflateDecoder(const InflateDecoder&) = delete;
    InflateDecoder& operator=(const InflateDecoder&) = delete;

    // Decodes one stream, up to and including its final block, from `in` to
    // `out`, and at most out_limit bytes of it. The stream starts with an
    // empty window, or with keep_window, with the window the previous decode
    // left (CAB's MSZIP blocks) or set_dictionary gave. Everything produced
    // before a failure has been given to the sink (unless the sink stopped).
    // One decoder can decode any number of streams; its buffers are reused.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_limit, bool keep_window = false);

    // The same for a stream wholly in memory, decoded straight into `out`
    // (cleared first, grown as output appears, never past out_limit), with no
    // window copies and no input buffer. `out` holds what was produced also
    // after a failure.
    DecodeStatus decode(std::span<const uint8_t> in, std::vector<uint8_t>& out, uint64_t out_limit);

    // The window a following decode(..., keep_window = true) starts with: the
    // last 64 KiB of `dictionary` (a zlib preset dictionary).
    void set_dictionary(std::span<const uint8_t> dictionary);

    // After a decode: the input bytes the stream took, up to and including
    // the byte that holds the last bit of the final block (counted from the
    // start of the source); the bytes it produced; and the bytes read from
    // the source past that end, valid until the next decode (a gzip reader
    // finds the member's trailer there).
    uint64_t total_in() const;
    uint64_t total_out() const;
    std::span<const uint8_t> unused_input() const;

    inflate_fault fault() const { return fault_; }
    // whole_entry rules: some stored block's NLEN was not the complement of LEN.
    bool stored_length_mismatch() const { return stored_length_mismatch_; }

private:
    enum class step : uint8_t;
    struct dynamic_tables;

    DecodeStatus run(uint64_t out_limit);
    DecodeStatus finish(DecodeStatus status);
    DecodeStatus fail(inflate_fault fault, DecodeStatus status);

    // input
    void refill_input();
    void ensure_input(size_t bytes);
    uint32_t peek_bits(unsigned n) const;
    uint32_t get_bits(unsigned n);
    uint32_t decode_symbol(const uint32_t* table, unsigned table_bits, unsigned max_len);
    bool input_used_up() const;

    // output
    uint64_t produced() const { return static_cast<uint64_t>(out_offset0_ + static_cast<int64_t>(out_pos_)); }
    uint64_t room_to_limit() const { return out_limit_ - produced(); }
    bool make_room(size_t n);
    bool prepare_fast_output();
    bool flush_output();
    void set_output_stop();
    void set_flush_point();

    // blocks
    DecodeStatus stored_block();
    DecodeStatus copy_stored(size_t len);
    int read_dynamic_tables();
    DecodeStatus huffman_block();
    step slow_symbol();
    step stop_with(inflate_fault fault, DecodeStatus status);
    step copy_match_exact(uint32_t length, uint32_t dist);
    template <bool Deflate64>
    step fast_loop();

    const bool deflate64_;
    const inflate_rules rules_;
    WindowServices* const window_;
    const bool bmi2_; // the fast loop built for BMI2 runs on this CPU

    // Input: in_size_ bytes at in_, which is either the owned buffer (filled
    // from source_) or the caller's span; in_final_ once nothing more comes.
    // Bit positions count from in_; in_base_ is the stream offset of in_[0].
    std::unique_ptr<uint8_t[]> in_buf_;
    ByteSource* source_ = nullptr;
    const uint8_t* in_ = nullptr;
    size_t in_size_ = 0;
    bool in_final_ = true;
    uint64_t in_base_ = 0;
    uint64_t pos_ = 0;
    uint64_t demand_ = 0; // whole_entry: the furthest bit any read has looked at
    bool input_short_ = false; // rfc1951: a read found the input ended

    // Output: out_cap_ bytes at out_, the owned window buffer (flushed to
    // sink_ and slid) or the caller's vector (grown). out_[0] is the oldest
    // byte a distance may reach; out_offset0_ is its offset in the stream's
    // output (negative for a kept window or dictionary).
    std::unique_ptr<uint8_t[]> out_buf_;
    size_t out_buf_cap_ = 0;
    ByteSink* sink_ = nullptr;
    std::vector<uint8_t>* out_vec_ = nullptr;
    uint8_t* out_ = nullptr;
    size_t out_cap_ = 0;
    size_t out_pos_ = 0;
    size_t out_flushed_ = 0;
    size_t out_stop_ = 0; // min(out_cap_, where out_limit_ is reached, flush_at_)
    size_t flush_at_ = 0; // with a sink: where the next piece is handed over
    int64_t out_offset0_ = 0;
    uint64_t out_limit_ = 0;
    size_t history_ = 0; // window bytes kept for the next decode

    inflate_fault fault_ = inflate_fault::none;
    bool stored_length_mismatch_ = false;
    bool sink_stopped_ = false;
    DecodeStatus last_failure_ = DecodeStatus::ok; // what a failed step ended the decode with

    std::unique_ptr<dynamic_tables> tables_;
    const uint32_t* litlen_ = nullptr;
    const uint32_t* dist_ = nullptr;
    unsigned litlen_max_ = 0;
    unsigned dist_max_ = 0;
    bool dist_sparse_ = false;
    uint32_t pending_length_ = 0; // a Deflate64 match too long for the fast loop
    uint32_t pending_dist_ = 0;
};

} // namespace velmora
