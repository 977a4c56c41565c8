// ARC methods 5, 6 and 7, the old "crunched" LZW: fixed 12-bit codes, high bit
// first, each code the slot of a 4096-entry string table whose slots are picked
// by hashing (parent, byte): the mid-square hash for methods 5 and 6, the
// multiplicative "faster" hash for method 7, with chained linear probing on a
// collision. Methods 6 and 7 go through the run-length stage (ArcRle).
// No end mark: exactly the expected size is produced.
#pragma once

#include "codecs/ArcRle.h"
#include "codecs/ByteStream.h"

#include <array>
#include <cstdint>

namespace velmora {

class ArcCrunch {
public:
    static constexpr unsigned code_bits = 12;
    static constexpr unsigned table_size = 1u << code_bits;

    // method: 5, 6 or 7.
    DecodeStatus decode(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    DecodeStatus run(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size);
    static constexpr uint16_t no_parent = 0xFFFF;

    struct slot {
        uint16_t parent;
        uint16_t next; // the slot a collision here was moved to; 0 for none
        uint8_t byte;
        bool used;
    };

    void add_string(uint16_t parent, uint8_t byte);
    unsigned hash(unsigned parent, unsigned byte) const;

    std::array<slot, table_size> table_{};
    std::array<uint8_t, table_size> stack_{};
    unsigned free_slots_ = 0;
    bool fast_hash_ = false;
    ArcRle rle_;
};

} // namespace velmora
