// Old ARC crunching (methods 5 to 7), decoded as ARC 5.21 builds its table.
// A code naming an empty slot is the string just added, KwKwK: the previous
// string plus its own first byte. Every string is a chain of parents ending
// in one of the 256 single-byte slots, at most 4096 long.
#include "codecs/ArcCrunch.h"

#include "codecs/InputBuffer.h"
#include "codecs/OutputBuffer.h"

#include <new>

namespace velmora {

unsigned ArcCrunch::hash(unsigned parent, unsigned byte) const
{
    // The single-byte strings hash with parent 0xFFFF: sums are 16-bit.
    const unsigned key = (parent + byte) & 0xFFFF;
    if (fast_hash_)
        return (key * 15073u) & (table_size - 1);
    // Mid-square: bits 6..17 of the square of the key with bit 11 set.
    const uint32_t k = key | 0x0800;
    return ((k * k) >> 6) & (table_size - 1);
}

void ArcCrunch::add_string(uint16_t parent, uint8_t byte)
{
    unsigned index = hash(parent, byte);
    if (table_[index].used) {
        // Follow the chain of earlier collisions to its end, then probe
        // linearly from 101 slots on. free_slots_ > 0 keeps this finite.
        while (table_[index].next != 0)
            index = table_[index].next;
        unsigned next = (index + 101) & (table_size - 1);
        while (table_[next].used)
            next = (next + 1) & (table_size - 1);
        table_[index].next = static_cast<uint16_t>(next);
        index = next;
    }
    table_[index] = slot{parent, 0, byte, true};
    --free_slots_;
}

DecodeStatus ArcCrunch::run(uint8_t method, ByteSource& in, ByteSink& sink, uint64_t out_size)
{
    if (method < 5 || method > 7)
        return DecodeStatus::unsupported;
    fast_hash_ = method == 7;
    rle_.reset(method != 5);
    table_.fill(slot{no_parent, 0, 0, false});
    free_slots_ = table_size;
    for (unsigned b = 0; b < 256; ++b)
        add_string(no_parent, static_cast<uint8_t>(b));

    InputBuffer input(in);
    OutputBuffer out(sink, out_size);
    uint32_t bits = 0;
    unsigned nbits = 0;
    auto next_code = [&](unsigned& code) {
        while (nbits < code_bits) {
            const int c = input.get();
            if (c < 0)
                return false;
            bits = (bits << 8) | static_cast<uint32_t>(c);
            nbits += 8;
        }
        nbits -= code_bits;
        code = (bits >> nbits) & (table_size - 1);
        return true;
    };

    if (out_size == 0)
        return DecodeStatus::ok;
    unsigned code = 0;
    if (!next_code(code))
        return out.finish(DecodeStatus::truncated);
    if (!table_[code].used || table_[code].parent != no_parent)
        return out.finish(DecodeStatus::data_error);
    unsigned last_code = code;
    uint8_t last_first = table_[code].byte;
    if (!rle_.write(last_first, out))
        return out.finish(DecodeStatus::ok);

    while (!out.at_limit()) {
        if (!next_code(code))
            return out.finish(DecodeStatus::truncated);
        // The string is built back to front from the end of stack_.
        size_t sp = stack_.size();
        unsigned s = code;
        if (!table_[code].used) {
            stack_[--sp] = last_first;
            s = last_code;
        }
        while (table_[s].parent != no_parent) {
            if (sp == 1) // a chain longer than any the table can hold
                return out.finish(DecodeStatus::data_error);
            stack_[--sp] = table_[s].byte;
            s = table_[s].parent;
        }
        const uint8_t first = table_[s].byte;
        stack_[--sp] = first;
        if (free_slots_ != 0)
            add_string(static_cast<uint16_t>(last_code), first);
        last_code = code;
        last_first = first;
        if (!rle_.write(std::span<const uint8_t>(stack_).subspan(sp), out)) {
            if (out.sink_failed())
                return DecodeStatus::stopped;
            break;
        }
    }
    return out.finish(DecodeStatus::ok);
}

DecodeStatus ArcCrunch::decode(uint8_t method, ByteSource& in, ByteSink& out, uint64_t out_size)
{
    try {
        return run(method, in, out, out_size);
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    }
}

} // namespace velmora
