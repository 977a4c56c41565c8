// Decoder for RAR 2.9-4.x packed data (unpack versions 29 and 36): LZ blocks
// with Huffman tables and a 4 MiB window, PPMd variant H blocks, and the
// standard VM filters (E8, E8E9, Itanium, delta, RGB, audio). Follows the RAR
// technote's stream layout as libarchive, The Unarchiver and 7-Zip read it.
// Streaming: the window, the PPMd model and the buffers are all it keeps.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "codecs/ByteStream.h"
#include "codecs/Ppmd7Model.h"
#include "codecs/PpmdRarRangeDecoder.h"
#include "codecs/Rar3BitInput.h"
#include "codecs/Rar3Filters.h"
#include "codecs/Rar3Huffman.h"

namespace velmora {

class Rar3Decoder {
public:
    Rar3Decoder();
    ~Rar3Decoder();
    Rar3Decoder(const Rar3Decoder&) = delete;
    Rar3Decoder& operator=(const Rar3Decoder&) = delete;

    // Decodes one entry's packed data from `in`, writing exactly out_size
    // bytes to `out` on success. With solid_continue the entry continues the
    // stream of the entry decoded before (a solid archive: window, tables,
    // PPMd model and filters carry over); otherwise everything starts afresh.
    // An entry of a solid archive can follow only one that decoded without
    // error (else data_error); entries skipped by the caller must still be
    // decoded, into a DiscardSink.
    //   ok            out_size bytes written
    //   truncated     the packed data ended before them
    //   data_error    the packed data breaks the format
    //   unsupported   a filter whose code is no standard filter
    //   stopped       out refused a write
    //   no_memory     the window or the PPMd model could not be allocated
    // Data the stream holds beyond out_size is not written (the caller's
    // size is the entry's size); an end-of-entry mark right after it is read.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue);

    // The largest PPMd model a block may ask for; a block asking more gives
    // no_memory. The format allows up to 256 MiB, the default.
    static constexpr uint32_t max_ppm_memory = 256u << 20;
    void set_ppm_memory_limit(uint32_t bytes) { ppm_memory_limit_ = bytes; }

private:
    // Code sizes of the LZ tables (main: 256 literals, end of block, filter,
    // repeat last, 4 old distances, 8 short distances, 28 lengths).
    static constexpr unsigned main_symbols = 299;
    static constexpr unsigned dist_symbols = 60;
    static constexpr unsigned low_dist_symbols = 17;
    static constexpr unsigned length_symbols = 28;
    static constexpr unsigned table_symbols = main_symbols + dist_symbols + low_dist_symbols + length_symbols;
    static_assert(main_symbols == 256 + 3 + 4 + 8 + length_symbols);

    static constexpr uint32_t window_size = 1u << 22; // the largest RAR 3 dictionary
    static constexpr uint32_t window_mask = window_size - 1;
    // Output is handed on in chunks of the stream this long (aligned, so a
    // chunk never runs across the window's end); the window never holds more
    // unwritten than a chunk plus a filter block plus a match.
    static constexpr uint32_t flush_chunk = 512 * 1024;
    static_assert(window_size % flush_chunk == 0, "chunks tile the window");
    static_assert(flush_chunk + rar3_vm_work_size + 1024 < window_size, "unwritten data never wraps onto itself");

    enum class step { ok, file_end, error };

    struct filter_program {
        Rar3FilterKind kind = Rar3FilterKind::unknown;
        uint32_t last_length = 0; // block length reused when a filter gives none
        uint32_t exec_count = 0;
    };
    struct pending_filter {
        uint64_t start = 0; // in the stream, from the last reset
        uint32_t length = 0;
        Rar3FilterKind kind = Rar3FilterKind::unknown;
        uint32_t r0 = 0, r1 = 0;
    };

    void reset_stream();
    DecodeStatus fail(DecodeStatus s);

    // Block headers and decoding to `target` (a stream position).
    bool read_tables();
    bool start_ppm_block();
    step decode_lz(uint64_t target);
    step decode_ppm(uint64_t target);
    step decode_to(uint64_t target);
    bool try_read_end_mark();

    // Filters.
    bool read_filter_lz();
    bool read_filter_ppm();
    bool parse_filter(const uint8_t* data, uint32_t size, unsigned flags);

    // Output.
    bool copy_match(uint32_t distance, uint32_t length);
    void put_byte(uint8_t b) { window_[pos_++ & window_mask] = static_cast<window_byte>(b); }
    bool flush(uint64_t limit);
    bool emit(std::span<const uint8_t> bytes, uint64_t stream_pos);
    bool emit_window(uint64_t from, uint64_t to);

    Rar3BitInput in_;
    ByteSink* out_ = nullptr;
    DecodeStatus status_ = DecodeStatus::ok;

    // The window holds char8_t, not uint8_t: a store through an unsigned
    // char may alias any object, so after every literal the compiler would
    // reload the decoder's position and the bit reader's state from memory;
    // char8_t has no such licence. Bytes are read back as uint8_t, which may
    // read any object.
    using window_byte = char8_t;
    std::unique_ptr<window_byte[]> window_;
    const uint8_t* window_bytes() const { return reinterpret_cast<const uint8_t*>(window_.get()); }
    uint64_t pos_ = 0;     // bytes decoded since the stream began
    uint64_t written_ = 0; // bytes of it handed on (or dropped)
    uint64_t entry_start_ = 0, entry_end_ = 0;
    bool solid_ok_ = false; // the stream is in a state the next solid entry can continue

    // LZ state.
    bool lz_mode_ = true;
    bool tables_ok_ = false;  // LZ tables were read for this stream
    bool need_tables_ = true; // the next entry starts with a block header
    bool file_end_ = false;   // the end-of-entry mark was read
    std::array<uint8_t, table_symbols> old_lengths_{};
    Rar3Huffman main_code_, dist_code_, low_dist_code_, length_code_;
    std::array<uint32_t, 4> old_dist_{};
    uint32_t last_length_ = 0;
    uint32_t prev_low_dist_ = 0, low_dist_repeats_ = 0;

    // PPMd state.
    Ppmd7Model ppm_;
    PpmdRarRangeDecoder<Rar3BitInput> rc_;
    bool ppm_ok_ = false;
    int ppm_escape_ = 2;
    uint32_t ppm_memory_limit_ = max_ppm_memory;

    // Filters.
    std::vector<filter_program> programs_;
    std::deque<pending_filter> pending_;
    uint32_t last_program_ = 0;
    std::unique_ptr<uint8_t[]> vm_memory_;
};

} // namespace velmora
