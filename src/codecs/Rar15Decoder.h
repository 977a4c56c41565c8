// RAR 1.5 decoder (unpack version 15): LZ with fixed prefix codes whose
// symbols pass through adaptive rank tables (ChSet, ChSetA/B/C with their
// NToPl counters), a 64 KiB window. Produces exactly the entry's size; the
// stream has no end marker. State stays in the object for solid archives.
#pragma once

#include <array>
#include <cstdint>

#include "codecs/ByteStream.h"
#include "codecs/RarBitInput.h"
#include "codecs/RarLzWindow.h"

namespace velmora {

class Rar15Decoder {
public:
    // Decodes one entry of out_size bytes from `in` to `out`. With
    // solid_continue the window and the adaptive tables of the previous entry
    // are kept (the entry's solid flag); that needs a previous entry that
    // decoded completely, else data_error.
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size, bool solid_continue);

private:
    enum class step : uint8_t { ok, error };

    void init_tables();
    step short_lz();
    step long_lz();
    step huff_decode();
    step get_flags_buf();
    step copy_string(uint32_t dist, uint32_t len);
    DecodeStatus run(ByteSink& out, uint64_t out_size);

    RarBitInput in_;
    RarLzWindow win_;
    bool ready_ = false;   // the previous entry ended cleanly: its state may be continued
    size_t hard_end_ = 0;  // window position where the entry's output ends (in this round)

    // Adaptive rank tables: the high byte is the value, the low byte a use
    // count; n_to_pl_x[c] is the first place holding a count of c.
    std::array<uint32_t, 256> ch_set{}, ch_set_a{}, ch_set_b{}, ch_set_c{};
    std::array<uint32_t, 256> n_to_pl{}, n_to_pl_b{}, n_to_pl_c{};

    // Running averages and weights that pick codes and modes.
    uint32_t avr_plc = 0, avr_plc_b = 0, avr_ln1 = 0, avr_ln2 = 0, avr_ln3 = 0;
    uint32_t nhfb = 0, nlzb = 0, max_dist3 = 0;
    uint32_t num_huf = 0;
    uint32_t buf60 = 0;      // 0 or 16: which short-match code is in force
    uint32_t flag_buf = 0;
    int flags_cnt = 0;
    bool st_mode = false;    // literal run mode
    uint32_t l_count = 0;    // repeats of the last match in a row

    std::array<uint32_t, 4> old_dist{};  // distances are 1-based here
    uint32_t old_dist_ptr = 0;
    uint32_t last_dist = 0;
    uint32_t last_length = 0;
};

} // namespace velmora
