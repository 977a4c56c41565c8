// Traditional ZIP encryption (PKWARE APPNOTE 6.1). Key set-up and encryption
// use the key schedule as the note writes it; the decryption loop computes
// the same keys with the steps rearranged so the per-byte chain is short.
#include "formats/zip/Cls_Encrypt.h"

#include "archive/Cls_CRC32.h"

#include <algorithm>
#include <array>
#include <random>

namespace velmora {
namespace {

constexpr uint32_t key1_multiplier = 134775813u;   // 0x08088405
constexpr size_t header_size = 12;

struct keys {
    uint32_t k0, k1, k2;
    const uint32_t* table;

    // crc32(x, b) with the CRC-32 table: one byte of the CRC register update.
    static uint32_t crc_step(const uint32_t* t, uint32_t x, uint8_t b) { return (x >> 8) ^ t[(x ^ b) & 0xFF]; }

    void update(uint8_t c)
    {
        k0 = crc_step(table, k0, c);
        // Unsigned arithmetic wraps modulo 2^32, as the key schedule wants.
        k1 = (k1 + (k0 & 0xFF)) * key1_multiplier + 1;
        k2 = crc_step(table, k2, static_cast<uint8_t>(k1 >> 24));
    }

    // t has bit 1 set and t, t ^ 1 differ only in bit 0; a 16 x 16-bit
    // product fits in 32 bits, of which bits 8..15 are the key-stream byte.
    uint8_t stream_byte() const
    {
        const uint32_t t = (k2 & 0xFFFF) | 2;
        return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
    }

    uint8_t encrypt(uint8_t c)
    {
        const uint8_t b = c ^ stream_byte();
        update(c);
        return b;
    }
};

// The key-stream byte depends on Key2's bits 2..15 only: t = (Key2 & 0xFFFF) | 2
// fixes bit 1, and bit 0 just swaps the two factors t and t ^ 1.
constexpr unsigned key_stream_index_bits = 14;
constexpr uint32_t key_stream_index_mask = (1u << key_stream_index_bits) - 1;

struct decrypt_tables {
    std::array<uint32_t, 256> crc{};
    std::array<uint32_t, 256> crc_bits_2_15{};                       // (T[h] >> 2) & 0x3FFF
    std::array<uint8_t, 1u << key_stream_index_bits> key_stream{};   // ks for Key2 bits 2..15
    std::array<uint8_t, 1u << key_stream_index_bits> crc_of_key_stream_low{};   // T[ks] & 0xFF
};
// Four small tables, together well inside a first-level data cache.
static_assert(sizeof(decrypt_tables) <= 36 * 1024);

// Hides a value from the optimiser so it cannot re-associate the arithmetic
// around it: GCC otherwise folds Key1 * M + 1 + x * M back into
// (Key1 + x) * M + 1, putting the add and the increment on the chain, and
// merges the table byte into an 8-bit xor that then needs a zero-extension.
inline void opaque(uint32_t& v)
{
#if defined(__GNUC__)
    __asm__("" : "+r"(v));
#else
    (void)v;
#endif
}

const decrypt_tables& tables()
{
    static const decrypt_tables tab = [] {
        decrypt_tables t;
        t.crc = crc32_table();
        for (size_t h = 0; h < 256; ++h)
            t.crc_bits_2_15[h] = (t.crc[h] >> 2) & key_stream_index_mask;
        for (uint32_t i = 0; i < t.key_stream.size(); ++i) {
            const uint8_t ks = keys{0, 0, i << 2, nullptr}.stream_byte();
            t.key_stream[i] = ks;
            t.crc_of_key_stream_low[i] = static_cast<uint8_t>(t.crc[ks] & 0xFF);
        }
        return t;
    }();
    return tab;
}

} // namespace

void Cls_Encrypt::InitKeys(std::string_view PassWord)
{
    Key0 = 0x12345678u;
    Key1 = 0x23456789u;
    Key2 = 0x34567890u;
    for (const char ch : PassWord)
        UpdateKeys(static_cast<uint8_t>(ch));
}

void Cls_Encrypt::UpdateKeys(uint8_t c)
{
    keys k{Key0, Key1, Key2, crc32_table().data()};
    k.update(c);
    Key0 = k.k0;
    Key1 = k.k1;
    Key2 = k.k2;
}

void Cls_Encrypt::ZipPrepareKey(std::span<uint8_t> Data, std::string_view PassWord)
{
    InitKeys(PassWord);
    ZipDecryptArray(Data.first(std::min(Data.size(), header_size)));
}

void Cls_Encrypt::ZipDecryptArray(std::span<uint8_t> Data)
{
    // Each byte's key stream depends on the byte before it, so the loop is
    // one long chain of dependent steps; its length sets the speed. The CRC
    // step is linear over XOR (T[a ^ b] = T[a] ^ T[b]), which lets the parts
    // that depend only on earlier keys or on the ciphertext be computed off
    // the chain:
    //   Key0' = crc(Key0, c) = L(Key0) ^ T[b] ^ T[ks]    with c = b ^ ks,
    //                                                   L(x) = (x >> 8) ^ T[x & 0xFF]
    //   Key2' = L(Key2) ^ T[Key1' >> 24]
    // and the key-stream byte ks of Key2' and the low byte of T[ks] come from
    // tables indexed by Key2's bits 2..15, read straight from L(Key2) and
    // T[Key1' >> 24] without forming Key2' first. What is left on the chain:
    // load, xor, load, xor, multiply, add, shift.
    const decrypt_tables& tab = tables();
    const uint32_t* T = tab.crc.data();
    uint32_t k0 = Key0, k1 = Key1, k2 = Key2;
    uint32_t index = (k2 >> 2) & key_stream_index_mask;
    for (uint8_t& b : Data) {
        const uint8_t ks = tab.key_stream[index];
        const uint8_t c = b ^ ks;
        const uint32_t l0 = (k0 >> 8) ^ T[k0 & 0xFF];
        // Low byte of Key0', which is all that Key1 takes from it.
        uint32_t y = tab.crc_of_key_stream_low[index];
        opaque(y);   // a zero-extending load, then a 32-bit xor
        const uint32_t x = ((l0 ^ T[b]) & 0xFF) ^ y;
        k0 = l0 ^ T[c];
        uint32_t k1_part = k1 * key1_multiplier + 1;
        opaque(k1_part);   // only x's multiply and one add stay on the chain
        k1 = k1_part + x * key1_multiplier;   // (Key1 + x) * M + 1
        const uint32_t h = k1 >> 24;
        const uint32_t l2 = (k2 >> 8) ^ T[k2 & 0xFF];
        k2 = l2 ^ T[h];
        index = ((l2 >> 2) & key_stream_index_mask) ^ tab.crc_bits_2_15[h];
        b = c;
    }
    Key0 = k0;
    Key1 = k1;
    Key2 = k2;
}

void Cls_Encrypt::ZipEncryptArray(std::vector<uint8_t>& Data, std::string_view PassWord, int32_t CRC32)
{
    std::random_device rd;
    std::vector<uint8_t> out(header_size + Data.size());
    for (size_t i = 0; i + 1 < header_size; ++i)
        out[i] = static_cast<uint8_t>(rd());
    // The last header byte lets a reader check the password against the CRC.
    out[header_size - 1] = static_cast<uint8_t>(static_cast<uint32_t>(CRC32) >> 24);
    std::copy(Data.begin(), Data.end(), out.begin() + header_size);

    InitKeys(PassWord);
    keys k{Key0, Key1, Key2, crc32_table().data()};
    for (uint8_t& b : out)
        b = k.encrypt(b);
    Key0 = k.k0;
    Key1 = k.k1;
    Key2 = k.k2;
    Data = std::move(out);
}

} // namespace velmora
