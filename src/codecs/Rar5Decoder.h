// RAR 5.0 and 7.0 decoder (unpack versions 50 and 70): byte-aligned blocks,
// each with an optional table header, LZ with four repeat distances, and the
// DELTA, E8, E8E9 and ARM filters applied on the way out. The window follows
// the dictionary size of the entry's header up to max_dictionary. The stream
// ends with its last block; window, tables and repeat distances stay in the
// object for solid archives.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "codecs/ByteStream.h"
#include "codecs/RarBitInput.h"
#include "codecs/RarHuffman.h"
#include "codecs/RarLzWindow.h"

namespace velmora {

class Rar5Decoder {
public:
    // Dictionaries above this are refused with `unsupported` (RAR 7 allows
    // up to 1 TiB).
    static constexpr uint64_t max_dictionary = uint64_t{1} << 30;
    static constexpr uint64_t unknown_size = UINT64_MAX;

    // The next entry's dictionary size (from its compression information)
    // and whether it uses RAR 7's 80 distance slots.
    void set_dictionary(uint64_t dictionary_size, bool extended_distances = false)
    {
        dictionary_ = dictionary_size;
        extended_ = extended_distances;
    }

    // Decodes one entry's stream. out_size is the entry's unpacked size: more
    // output than that gives output_limit, a stream ending short of it
    // data_error; unknown_size decodes to the end of the stream. With
    // solid_continue the previous entry's window, tables and repeat
    // distances are kept; that needs a previous entry that ended cleanly.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue);

    // What the last decode met, for tests and benchmarks: blocks, table
    // headers and the filters run, by type (DELTA, E8, E8E9, ARM).
    struct stream_stats {
        uint64_t blocks = 0;
        uint64_t tables = 0;
        std::array<uint64_t, 4> filters{};
    };
    const stream_stats& stats() const { return stats_; }

    static constexpr unsigned num_main = 306;       // 256 literals, filter, repeat, 4 repeat distances, 44 lengths
    static constexpr unsigned num_dist_v5 = 64;
    static constexpr unsigned num_dist_v7 = 80;
    static constexpr unsigned num_align = 16;
    static constexpr unsigned num_len = 44;

private:
    struct filter {
        uint64_t start;   // entry offset of the first byte
        uint32_t size;
        uint8_t type;
        uint8_t channels;
    };

    DecodeStatus run(ByteSink& out);
    DecodeStatus read_block_header();
    DecodeStatus read_tables();
    DecodeStatus decode_symbols(size_t round_end);
    DecodeStatus symbol();
    DecodeStatus add_filter();
    DecodeStatus emit(ByteSink& out, std::span<const uint8_t> data);
    DecodeStatus write_out(ByteSink& out, std::span<const uint8_t> data);
    void run_filter(const filter& f);

    RarBitInput in_;
    RarLzWindow win_;
    uint64_t dictionary_ = 4u << 20;
    uint64_t dictionary_limit_ = 0;  // farthest distance allowed: the largest dictionary of the solid run
    bool extended_ = false;
    bool ready_ = false;

    // Tables and LZ state, kept for solid entries.
    RarHuffman<num_main, 10> main_;
    RarHuffman<num_dist_v7, 7> dist_;
    RarHuffman<num_align, 6> align_;
    RarHuffman<num_len, 7> len_;
    bool use_align_ = false;  // else the low four distance bits are sent plainly
    bool tables_ready_ = false;
    std::array<uint64_t, 4> reps_{};
    uint32_t last_len_ = 0;

    // The block being decoded.
    uint64_t block_end_bit_ = 0;   // input bit where its symbols end
    uint64_t next_header_ = 0;     // input offset of the next block header
    bool last_block_ = false;

    // The entry.
    stream_stats stats_;
    size_t round_start_ = 0;       // window position where the current round began
    uint64_t out_size_ = 0;
    uint64_t decoded_ = 0;         // entry bytes placed in the window
    uint64_t emitted_ = 0;         // entry bytes handed to filters or the sink
    uint64_t written_ = 0;         // entry bytes written to the sink
    std::deque<filter> filters_;   // pending, in order of start
    uint64_t filter_end_ = 0;      // end of the last filter added
    std::vector<uint8_t> filter_buf_;   // the active filter's input
    std::vector<uint8_t> filter_out_;   // DELTA's output
    size_t filter_fill_ = 0;
    bool filter_active_ = false;
};

} // namespace velmora
