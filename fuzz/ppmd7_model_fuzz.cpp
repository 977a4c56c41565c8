// libFuzzer target for the PPMd variant H model alone. Input: byte 0 the
// order (2-64), byte 1 the model size (2 KiB to 4 MiB), byte 2 bit 0 the
// range coder (RAR's or 7-Zip's), bit 1 a check in a fresh model too, then
// the coded stream; up to 4 Ki symbols are decoded (small models fill up and
// restart within them). Checks: results stay within a byte, the end mark and
// the error code; and the model depends on nothing but its input: started
// again in the arena it has just filled (and in a fresh one) it decodes the
// same symbols.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codecs/Ppmd7Model.h"
#include "codecs/Ppmd7zRangeDecoder.h"
#include "codecs/PpmdRarRangeDecoder.h"

namespace {

struct span_reader {
    std::span<const uint8_t> data;
    size_t pos = 0;
    uint8_t read_byte() { return pos < data.size() ? data[pos++] : 0; }
};

constexpr size_t max_symbols = 1u << 12;

std::vector<int> decode(velmora::Ppmd7Model& m, unsigned order, bool rar, std::span<const uint8_t> stream)
{
    m.init(order);
    span_reader in{stream, 0};
    std::vector<int> out;
    auto run = [&](auto& rc) {
        for (size_t i = 0; i < max_symbols; ++i) {
            const int c = m.decode_symbol(rc);
            if (c < velmora::Ppmd7Model::data_error || c > 255)
                std::abort();
            out.push_back(c);
            // Past the end of the input only zeros come; a few symbols more are enough.
            if (c < 0 || in.pos > stream.size() + 8)
                break;
        }
    };
    if (rar) {
        velmora::PpmdRarRangeDecoder<span_reader> rc(in);
        rc.init();
        run(rc);
    } else {
        velmora::Ppmd7zRangeDecoder<span_reader> rc(in);
        if (rc.init())
            run(rc);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const unsigned order = 2 + data[0] % 63;
    const uint32_t memory = 1u << (11 + data[1] % 12);
    const bool rar = data[2] & 1;
    const std::span<const uint8_t> stream(data + 3, size - 3);

    static velmora::Ppmd7Model model;
    if (!model.allocate(memory))
        return 0;
    const std::vector<int> first = decode(model, order, rar, stream);
    if (decode(model, order, rar, stream) != first)
        std::abort();
    if (data[2] & 2) {
        velmora::Ppmd7Model fresh;
        if (fresh.allocate(memory) && decode(fresh, order, rar, stream) != first)
            std::abort();
    }
    return 0;
}
