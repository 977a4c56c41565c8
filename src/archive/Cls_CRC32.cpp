// CRC-32 of ZIP and GZIP: the byte-wise table, slicing-by-16 for any machine,
// and carry-less-multiply folding on x86-64 (PCLMULQDQ, or VPCLMULQDQ on 256-bit
// registers), chosen once at run time from the CPU's features (Intel, "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ Instruction", 2009).
// All paths give equal values.
#include "archive/Cls_CRC32.h"

#include <stdexcept>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELMORA_CRC32_CLMUL 1
#endif

namespace velmora {

namespace {

// Generator in reflected bit order: bit j is the coefficient of x^(31-j).
constexpr uint32_t reflected_poly = 0xEDB88320u;
// The same generator in normal order without its x^32 term.
constexpr uint32_t normal_poly = 0x04C11DB7u;

// Slicing tables: slice[k][n] is the register after byte n followed by k zero
// bytes, so sixteen lookups advance the register over sixteen bytes at once.
// slice[0] is the byte-wise table.
constexpr size_t slice_count = 16;
using slice_tables = std::array<std::array<uint32_t, 256>, slice_count>;

constexpr slice_tables make_slice_tables()
{
    slice_tables t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ reflected_poly : c >> 1;
        t[0][n] = c;
    }
    for (size_t k = 1; k < slice_count; ++k)
        for (size_t n = 0; n < 256; ++n)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    return t;
}

constexpr slice_tables slices = make_slice_tables();
static_assert(slices[0][1] == 0x77073096u && slices[0][255] == 0x2D02EF8Du);
static_assert(sizeof(slices) == 16 * 1024, "sixteen tables of 256 32-bit entries");

inline uint32_t load_le32(const uint8_t* p)
{
    // Byte by byte so the order is right on any host; compilers make one load of it.
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Advances the raw register (not inverted) over n bytes.
uint32_t register_update_portable(uint32_t r, const uint8_t* p, size_t n)
{
    while (n >= 16) {
        // The register lines up with the first four bytes: XOR it in and look
        // every byte up by its distance from the end of the 16-byte group.
        const uint32_t a = load_le32(p) ^ r;
        const uint32_t b = load_le32(p + 4);
        const uint32_t c = load_le32(p + 8);
        const uint32_t d = load_le32(p + 12);
        r = slices[15][a & 0xFF] ^ slices[14][(a >> 8) & 0xFF] ^ slices[13][(a >> 16) & 0xFF] ^ slices[12][a >> 24]
            ^ slices[11][b & 0xFF] ^ slices[10][(b >> 8) & 0xFF] ^ slices[9][(b >> 16) & 0xFF] ^ slices[8][b >> 24]
            ^ slices[7][c & 0xFF] ^ slices[6][(c >> 8) & 0xFF] ^ slices[5][(c >> 16) & 0xFF] ^ slices[4][c >> 24]
            ^ slices[3][d & 0xFF] ^ slices[2][(d >> 8) & 0xFF] ^ slices[1][(d >> 16) & 0xFF] ^ slices[0][d >> 24];
        p += 16;
        n -= 16;
    }
    while (n-- > 0)
        r = (r >> 8) ^ slices[0][(r & 0xFF) ^ *p++];
    return r;
}

#ifdef VELMORA_CRC32_CLMUL

// x^n mod G in normal bit order (bit i = coefficient of x^i).
constexpr uint32_t x_pow_mod_g(unsigned n)
{
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r & (uint64_t{1} << 32))
            r ^= (uint64_t{1} << 32) | normal_poly;
    }
    return static_cast<uint32_t>(r);
}

constexpr uint32_t reflect32(uint32_t v)
{
    uint32_t r = 0;
    for (int i = 0; i < 32; ++i)
        r |= ((v >> i) & 1u) << (31 - i);
    return r;
}

// Folding a 128-bit block X forward by D bits: in reflected order its low
// quadword L holds the high-degree half, so X * x^D = L * x^(D+64) + H * x^D.
// PCLMULQDQ of two reflected operands yields the product times x, and a
// 32-bit constant in the low half of a reflected quadword stands for K * x^32;
// so L takes K = x^(D+31) mod G and H takes K = x^(D-33) mod G, which keeps
// every product under 128 bits.
struct fold_constants {
    uint64_t for_low;
    uint64_t for_high;
};

constexpr fold_constants fold_by(unsigned bits)
{
    return {reflect32(x_pow_mod_g(bits + 31)), reflect32(x_pow_mod_g(bits - 33))};
}

constexpr unsigned lanes = 8;                         // 8 x 16 bytes in flight hides PCLMULQDQ latency
constexpr fold_constants fold_128 = fold_by(128);     // one block to the next
constexpr fold_constants fold_lanes = fold_by(128 * lanes); // one lane over a whole round
// Known from the Intel paper's tables (shifted there by one bit): x^95 mod G.
static_assert(fold_128.for_high == 0xCCAA009Eu);

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load128(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The register of a message is the table CRC, from register 0, of its whole
// 16-byte blocks folded into one, followed by the remaining bytes.
__attribute__((target("pclmul,sse4.1"))) uint32_t finish_folded(__m128i x, const uint8_t* p, size_t n)
{
    const __m128i k1 = _mm_set_epi64x(static_cast<long long>(fold_128.for_high),
                                      static_cast<long long>(fold_128.for_low));
    while (n >= 16) {
        x = _mm_xor_si128(fold(x, k1), load128(p));
        p += 16;
        n -= 16;
    }
    alignas(16) uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(folded), x);
    return register_update_portable(register_update_portable(0, folded, 16), p, n);
}

// Needs n >= 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t register_update_clmul(uint32_t r, const uint8_t* p, size_t n)
{
    // The running register aligns with the first four message bytes.
    const __m128i first = _mm_cvtsi32_si128(static_cast<int>(r));
    if (n < 2 * 16 * lanes)
        return finish_folded(_mm_xor_si128(load128(p), first), p + 16, n - 16);
    const __m128i k1 = _mm_set_epi64x(static_cast<long long>(fold_128.for_high),
                                      static_cast<long long>(fold_128.for_low));
    const __m128i k8 = _mm_set_epi64x(static_cast<long long>(fold_lanes.for_high),
                                      static_cast<long long>(fold_lanes.for_low));
    __m128i v[lanes];
    for (unsigned i = 0; i < lanes; ++i)
        v[i] = load128(p + 16 * i);
    v[0] = _mm_xor_si128(v[0], first);
    p += 16 * lanes;
    n -= 16 * lanes;
    while (n >= 16 * lanes) {
        for (unsigned i = 0; i < lanes; ++i)
            v[i] = _mm_xor_si128(fold(v[i], k8), load128(p + 16 * i));
        p += 16 * lanes;
        n -= 16 * lanes;
    }
    __m128i x = v[0];
    for (unsigned i = 1; i < lanes; ++i)
        x = _mm_xor_si128(fold(x, k1), v[i]);
    return finish_folded(x, p, n);
}

// VPCLMULQDQ folds two 128-bit blocks per instruction, one in each half of a
// 256-bit register; eight registers make 256 bytes a round.
constexpr unsigned wide_block = 32;
constexpr fold_constants fold_256 = fold_by(8 * wide_block);                // one register to the next
constexpr fold_constants fold_wide_lanes = fold_by(8 * wide_block * lanes); // one register over a round

__attribute__((target("vpclmulqdq,avx2"))) inline __m256i fold_wide(__m256i x, __m256i k)
{
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(x, k, 0x00), _mm256_clmulepi64_epi128(x, k, 0x11));
}

__attribute__((target("vpclmulqdq,avx2"))) inline __m256i wide_constants(fold_constants c)
{
    return _mm256_set_epi64x(static_cast<long long>(c.for_high), static_cast<long long>(c.for_low),
                             static_cast<long long>(c.for_high), static_cast<long long>(c.for_low));
}

__attribute__((target("vpclmulqdq,avx2"))) inline __m256i load256(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("pclmul,vpclmulqdq,avx2"))) uint32_t register_update_vclmul(uint32_t r, const uint8_t* p, size_t n)
{
    if (n < 2 * wide_block * lanes)
        return register_update_clmul(r, p, n);
    const __m256i k8 = wide_constants(fold_wide_lanes);
    __m256i v[lanes];
    for (unsigned i = 0; i < lanes; ++i)
        v[i] = load256(p + wide_block * i);
    v[0] = _mm256_xor_si256(v[0], _mm256_set_epi32(0, 0, 0, 0, 0, 0, 0, static_cast<int>(r)));
    p += wide_block * lanes;
    n -= wide_block * lanes;
    while (n >= wide_block * lanes) {
        for (unsigned i = 0; i < lanes; ++i)
            v[i] = _mm256_xor_si256(fold_wide(v[i], k8), load256(p + wide_block * i));
        p += wide_block * lanes;
        n -= wide_block * lanes;
    }
    const __m256i k2 = wide_constants(fold_256);
    __m256i y = v[0];
    for (unsigned i = 1; i < lanes; ++i)
        y = _mm256_xor_si256(fold_wide(y, k2), v[i]);
    // The lower half is the earlier block: fold it onto the upper one.
    const __m128i k1 = _mm_set_epi64x(static_cast<long long>(fold_128.for_high),
                                      static_cast<long long>(fold_128.for_low));
    const __m128i x = _mm_xor_si128(fold(_mm256_castsi256_si128(y), k1), _mm256_extracti128_si256(y, 1));
    return finish_folded(x, p, n);
}

bool cpu_has(crc32_method method)
{
    __builtin_cpu_init();
    const bool pclmul = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    switch (method) {
    case crc32_method::slicing:
        return true;
    case crc32_method::pclmul:
        return pclmul;
    case crc32_method::vpclmul:
        // avx2 here also means the system saves the 256-bit registers.
        return pclmul && __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2");
    }
    return false;
}

#else

bool cpu_has(crc32_method method) { return method == crc32_method::slicing; }

#endif

// Below this length the tables are as quick as setting up the folding.
constexpr size_t clmul_min_length = 64;

using register_update_fn = uint32_t (*)(uint32_t, const uint8_t*, size_t);

register_update_fn register_update_for(crc32_method method)
{
#ifdef VELMORA_CRC32_CLMUL
    if (method == crc32_method::vpclmul && cpu_has(method))
        return register_update_vclmul;
    if (method == crc32_method::pclmul && cpu_has(method))
        return register_update_clmul;
#endif
    return register_update_portable;
}

} // namespace

const std::array<uint32_t, 256>& crc32_table() { return slices[0]; }

crc32_method crc32_fast_method()
{
    static const crc32_method fastest = cpu_has(crc32_method::vpclmul) ? crc32_method::vpclmul
                                        : cpu_has(crc32_method::pclmul) ? crc32_method::pclmul
                                                                        : crc32_method::slicing;
    return fastest;
}

bool crc32_method_available(crc32_method method) { return cpu_has(method); }

uint32_t crc32_update_by(crc32_method method, uint32_t crc, std::span<const uint8_t> bytes)
{
    if (bytes.size() < clmul_min_length)
        return ~register_update_portable(~crc, bytes.data(), bytes.size());
    return ~register_update_for(method)(~crc, bytes.data(), bytes.size());
}

uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> bytes)
{
    static const register_update_fn fast = register_update_for(crc32_fast_method());
    if (bytes.size() < clmul_min_length)
        return ~register_update_portable(~crc, bytes.data(), bytes.size());
    return ~fast(~crc, bytes.data(), bytes.size());
}

int32_t Cls_CRC32::GetcrcTable(int16_t TabNum) const
{
    if (TabNum < 0 || TabNum > 255)
        throw std::out_of_range("CRC table index");
    return static_cast<int32_t>(crc32_table()[static_cast<size_t>(TabNum)]);
}

int32_t Cls_CRC32::CalcCRC32File(std::span<const uint8_t> ByteArray)
{
    register_ = crc32_update(0, ByteArray);
    return static_cast<int32_t>(register_);
}

} // namespace velmora
