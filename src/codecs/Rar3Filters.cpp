// Native versions of the RAR 2.9-4.x standard VM filters. Each undoes what
// WinRAR's encoder side did to the block before compressing it.
#include "codecs/Rar3Filters.h"

#include <cstdlib>
#include <cstring>

#include "archive/Cls_CRC32.h"

namespace velmora {

namespace {

struct filter_signature {
    uint32_t length;
    uint32_t crc;
    Rar3FilterKind kind;
};

// Length and CRC-32 of the bytecode WinRAR writes for each standard filter.
constexpr filter_signature signatures[] = {
    {53, 0xAD576887u, Rar3FilterKind::e8},
    {57, 0x3CD7E57Eu, Rar3FilterKind::e8e9},
    {120, 0x3769893Fu, Rar3FilterKind::itanium},
    {29, 0x0E06077Du, Rar3FilterKind::delta},
    {149, 0x1C2C5DC8u, Rar3FilterKind::rgb},
    {216, 0xBC85E701u, Rar3FilterKind::audio},
};

uint32_t get_le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
void put_le32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// x86 CALL (E8) and JMP (E9) rel32 operands were turned into absolute
// addresses in a 16 MiB file space; turn them back into relative ones.
void e8e9_decode(uint8_t* data, uint32_t size, uint32_t file_offset, bool e9)
{
    constexpr uint32_t file_space = 0x1000000;
    if (size < 5)
        return;
    for (uint32_t i = 0; i <= size - 5;) {
        const uint8_t op = data[i];
        if (op == 0xE8 || (e9 && op == 0xE9)) {
            const uint32_t pos = file_offset + i + 1; // address of the operand
            const uint32_t addr = get_le32(data + i + 1);
            if (addr < file_space)
                put_le32(data + i + 1, addr - pos);
            else if ((addr & 0x80000000u) != 0 && ((addr + pos) & 0x80000000u) == 0)
                put_le32(data + i + 1, addr + file_space); // a negative address that pointed into the file
            i += 5;
        } else {
            ++i;
        }
    }
}

uint32_t get_bits(const uint8_t* data, unsigned bit_pos, unsigned count)
{
    uint32_t v = get_le32(data + bit_pos / 8) >> (bit_pos & 7);
    return v & ((1u << count) - 1);
}

void set_bits(uint8_t* data, uint32_t value, unsigned bit_pos, unsigned count)
{
    uint8_t* p = data + bit_pos / 8;
    const unsigned shift = bit_pos & 7;
    const uint32_t mask = ((1u << count) - 1) << shift;
    put_le32(p, (get_le32(p) & ~mask) | ((value << shift) & mask));
}

// IA-64: 16-byte bundles of a 5-bit template and three 41-bit slots. In the
// slots that can hold a branch (by template), an IP-relative branch (opcode
// 5 in bits 37-40) had its 20-bit target (bits 13-32, in bundles) made
// absolute; subtract the bundle's position again.
void itanium_decode(uint8_t* data, uint32_t size, uint32_t file_offset)
{
    // Branch-slot masks of templates 0x10-0x1F (bit i: slot i); lower templates have no branch slot.
    static constexpr uint8_t branch_slots[16] = {4, 4, 6, 6, 0, 0, 7, 7, 4, 4, 0, 0, 4, 4, 0, 0};
    if (size <= 21)
        return;
    uint32_t bundle = file_offset >> 4;
    for (uint32_t pos = 0; pos < size - 21; pos += 16, ++bundle) {
        uint8_t* b = data + pos;
        const int tmpl = (b[0] & 0x1F) - 0x10;
        if (tmpl < 0)
            continue;
        const unsigned mask = branch_slots[tmpl];
        for (unsigned slot = 0; slot < 3; ++slot) {
            if ((mask & (1u << slot)) == 0)
                continue;
            const unsigned start = slot * 41 + 5;
            if (get_bits(b, start + 37, 4) == 5) {
                const uint32_t target = get_bits(b, start + 13, 20);
                set_bits(b, (target - bundle) & 0xFFFFF, start + 13, 20);
            }
        }
    }
}

// Bytes were interleaved by channel and each channel delta-coded.
void delta_decode(const uint8_t* src, uint8_t* dst, uint32_t size, uint32_t channels)
{
    for (uint32_t c = 0; c < channels; ++c) {
        uint8_t prev = 0;
        for (uint32_t i = c; i < size; i += channels)
            dst[i] = prev = static_cast<uint8_t>(prev - *src++);
    }
}

// 24-bit pixels, `width` bytes per row: each colour plane was predicted with
// the Paeth-like choice among left, upper and upper-left, and red and blue
// stored as differences to green.
void rgb_decode(const uint8_t* src, uint8_t* dst, uint32_t size, uint32_t width, uint32_t pos_r)
{
    for (uint32_t c = 0; c < 3; ++c) {
        unsigned prev = 0;
        for (uint32_t i = c; i < size; i += 3) {
            unsigned predicted = prev;
            if (i >= width) {
                const unsigned upper_left = dst[i - width];
                const unsigned upper = dst[i - width + 3];
                const int guess = static_cast<int>(prev + upper) - static_cast<int>(upper_left);
                const int pa = std::abs(guess - static_cast<int>(prev));
                const int pb = std::abs(guess - static_cast<int>(upper));
                const int pc = std::abs(guess - static_cast<int>(upper_left));
                if (pa <= pb && pa <= pc)
                    predicted = prev;
                else if (pb <= pc)
                    predicted = upper;
                else
                    predicted = upper_left;
            }
            prev = static_cast<uint8_t>(predicted - *src++);
            dst[i] = static_cast<uint8_t>(prev);
        }
    }
    for (uint32_t i = pos_r; i + 2 < size; i += 3) {
        const uint8_t g = dst[i + 1];
        dst[i] = static_cast<uint8_t>(dst[i] + g);
        dst[i + 2] = static_cast<uint8_t>(dst[i + 2] + g);
    }
}

// 8-bit audio, channels interleaved: each channel predicted from its last
// sample and three past deltas with adaptive weights K1-K3, re-chosen every
// 32 samples by which weight change would have cut the error most.
void audio_decode(const uint8_t* src, uint8_t* dst, uint32_t size, uint32_t channels)
{
    for (uint32_t c = 0; c < channels; ++c) {
        uint32_t prev_byte = 0;
        int32_t prev_delta = 0;
        int32_t d1 = 0, d2 = 0, d3 = 0;
        int32_t k1 = 0, k2 = 0, k3 = 0;
        uint32_t dif[7] = {};
        uint32_t n = 0;
        for (uint32_t i = c; i < size; i += channels, ++n) {
            d3 = d2;
            d2 = prev_delta - d1;
            d1 = prev_delta;
            uint32_t predicted = static_cast<uint32_t>(static_cast<int32_t>(8 * prev_byte) + k1 * d1 + k2 * d2 + k3 * d3);
            predicted = (predicted >> 3) & 0xFF;
            const uint32_t cur = *src++;
            predicted = (predicted - cur) & 0xFF;
            dst[i] = static_cast<uint8_t>(predicted);
            prev_delta = static_cast<int8_t>(predicted - prev_byte);
            prev_byte = predicted;

            const int32_t d = static_cast<int8_t>(cur) * 8;
            dif[0] += static_cast<uint32_t>(std::abs(d));
            dif[1] += static_cast<uint32_t>(std::abs(d - d1));
            dif[2] += static_cast<uint32_t>(std::abs(d + d1));
            dif[3] += static_cast<uint32_t>(std::abs(d - d2));
            dif[4] += static_cast<uint32_t>(std::abs(d + d2));
            dif[5] += static_cast<uint32_t>(std::abs(d - d3));
            dif[6] += static_cast<uint32_t>(std::abs(d + d3));
            if ((n & 0x1F) == 0) {
                unsigned best = 0;
                uint32_t min_dif = dif[0];
                for (unsigned j = 1; j < 7; ++j)
                    if (dif[j] < min_dif) {
                        min_dif = dif[j];
                        best = j;
                    }
                std::memset(dif, 0, sizeof dif);
                switch (best) {
                case 1: if (k1 >= -16) --k1; break;
                case 2: if (k1 < 16) ++k1; break;
                case 3: if (k2 >= -16) --k2; break;
                case 4: if (k2 < 16) ++k2; break;
                case 5: if (k3 >= -16) --k3; break;
                case 6: if (k3 < 16) ++k3; break;
                default: break;
                }
            }
        }
    }
}

} // namespace

Rar3FilterKind rar3_identify_filter(std::span<const uint8_t> bytecode)
{
    const uint32_t crc = crc32_update(0, bytecode);
    for (const auto& sig : signatures)
        if (sig.length == bytecode.size() && sig.crc == crc)
            return sig.kind;
    return Rar3FilterKind::unknown;
}

int32_t rar3_run_filter(Rar3FilterKind kind, uint8_t* memory, uint32_t length, uint32_t r0, uint32_t r1,
                        uint32_t file_offset)
{
    if (length >= rar3_vm_work_size)
        return -1;
    const bool separate_output = kind == Rar3FilterKind::delta || kind == Rar3FilterKind::rgb ||
                                 kind == Rar3FilterKind::audio;
    if (separate_output) {
        if (length >= rar3_vm_work_size / 2)
            return -1;
        // The output area starts out zero, so predictions that reach a byte
        // not written yet (RGB with width 3) read a fixed value.
        std::memset(memory + length, 0, length);
    }
    switch (kind) {
    case Rar3FilterKind::e8:
    case Rar3FilterKind::e8e9:
        e8e9_decode(memory, length, file_offset, kind == Rar3FilterKind::e8e9);
        return 0;
    case Rar3FilterKind::itanium:
        itanium_decode(memory, length, file_offset);
        return 0;
    case Rar3FilterKind::delta:
        if (r0 == 0 || r0 > 1024)
            return -1;
        delta_decode(memory, memory + length, length, r0);
        return static_cast<int32_t>(length);
    case Rar3FilterKind::rgb:
        if (length < 3 || r0 < 3 || r0 - 3 > length || r1 > 2)
            return -1;
        rgb_decode(memory, memory + length, length, r0, r1);
        return static_cast<int32_t>(length);
    case Rar3FilterKind::audio:
        if (r0 == 0 || r0 > 128)
            return -1;
        audio_decode(memory, memory + length, length, r0);
        return static_cast<int32_t>(length);
    case Rar3FilterKind::unknown:
        break;
    }
    return -1;
}

} // namespace velmora
