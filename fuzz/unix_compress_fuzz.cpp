// libFuzzer target for UnixCompressDecoder. Byte 0 seeds the input's cuts;
// the rest is a .Z file. It is compared with a plain expander written here
// the way compress reads: a bit position counted from where the current code
// width began, rounded up to a whole group at each widening and CLEAR, and
// strings walked onto a stack. Status and output (also before an error) must
// agree; cutting the input differently must change nothing.
#include "codecs/UnixCompressDecoder.h"
#include "stream_fuzz_support.h"

#include <array>

using namespace velmora;
using namespace velmora::fuzz;

namespace {

constexpr uint64_t limit = 8u << 20;

Run reference_expand(std::span<const uint8_t> in)
{
    Run r{DecodeStatus::ok, {}};
    if (in.size() < 3) return {DecodeStatus::truncated, {}};
    if (in[0] != 0x1F || in[1] != 0x9D) return {DecodeStatus::data_error, {}};
    const unsigned maxbits = in[2] & 0x1F;
    const bool block = (in[2] & 0x80) != 0;
    if (maxbits > 16) return {DecodeStatus::unsupported, {}};
    if (maxbits < 9) return {DecodeStatus::data_error, {}};

    const uint64_t total_bits = uint64_t{in.size()} * 8;
    auto code_at = [&](uint64_t pos, unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i) v |= uint32_t((in[(pos + i) / 8] >> ((pos + i) % 8)) & 1) << i;
        return v;
    };
    static std::array<uint16_t, 65536> prefix;
    static std::array<uint8_t, 65536> suffix;
    const uint32_t maxmax = uint32_t{1} << maxbits;
    unsigned n = 9;
    uint32_t maxcode = 511;
    uint32_t free_ent = block ? 257 : 256;
    uint64_t origin = 24, pos = 24;
    int32_t oldcode = -1;
    uint8_t finchar = 0;
    std::vector<uint8_t> stack;
    auto to_group_end = [&] {
        const uint64_t group = uint64_t{n} * 8;
        pos = origin + (pos - origin + group - 1) / group * group;
        origin = pos;
    };
    for (;;) {
        if (free_ent > maxcode) {
            to_group_end();
            ++n;
            maxcode = n == maxbits ? maxmax : (uint32_t{1} << n) - 1;
            continue;
        }
        if (pos + n > total_bits) break;
        const uint32_t code = code_at(pos, n);
        pos += n;
        if (oldcode == -1) {
            if (code >= 256) return {DecodeStatus::data_error, std::move(r.out)};
            oldcode = static_cast<int32_t>(code);
            finchar = static_cast<uint8_t>(code);
            r.out.push_back(finchar);
        } else if (code == 256 && block) {
            to_group_end();
            free_ent = 256;
            n = 9;
            maxcode = 511;
            continue;
        } else {
            uint32_t c = code;
            stack.clear();
            if (c >= free_ent) {
                if (c > free_ent) return {DecodeStatus::data_error, std::move(r.out)};
                stack.push_back(finchar);
                c = static_cast<uint32_t>(oldcode);
            }
            while (c >= 256) {
                stack.push_back(suffix[c]);
                c = prefix[c];
            }
            finchar = static_cast<uint8_t>(c);
            stack.push_back(finchar);
            r.out.insert(r.out.end(), stack.rbegin(), stack.rend());
            if (free_ent < maxmax) {
                prefix[free_ent] = static_cast<uint16_t>(oldcode);
                suffix[free_ent] = finchar;
                ++free_ent;
            }
            oldcode = static_cast<int32_t>(code);
        }
        if (r.out.size() > limit) {
            r.out.resize(limit);
            return {DecodeStatus::output_limit, std::move(r.out)};
        }
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const std::span<const uint8_t> input(data + 1, size - 1);
    static UnixCompressDecoder decoder;
    auto decode = [](ByteSource& in, ByteSink& out, uint64_t lim) { return decoder.decode(in, out, lim); };
    const Run ours = run_whole(input, limit, decode);
    expect_same(ours, run_in_pieces(input, limit, data[0] * 40503u + 1, decode));
    expect_same(ours, reference_expand(input));
    return 0;
}
