// Unreduce over a whole entry in memory: the stream decoder (UnreduceDecoder)
// writing into a vector that grows as output appears and never past the
// expected size, so a hostile declared size costs nothing until the stream
// really produces that much.
#include "codecs/Mod_Reduce.h"

#include <algorithm>
#include <new>

#include "codecs/UnreduceDecoder.h"

namespace velmora {
namespace {

// Appends to a vector whose capacity doubles up to `total` and no further
// (reserve first, so the vector holds exactly what was asked for). Refuses
// what it cannot allocate.
class growing_sink final : public ByteSink {
public:
    growing_sink(std::vector<uint8_t>& out, size_t total, size_t first_guess) : out_(out), total_(total)
    {
        out_.reserve(std::min(total_, first_guess));
    }
    bool write(std::span<const uint8_t> data) override
    {
        try {
            const size_t need = out_.size() + data.size();
            if (need > out_.capacity())
                out_.reserve(std::min(total_, std::max({need, out_.capacity() * 2, size_t{1} << 16})));
            out_.insert(out_.end(), data.begin(), data.end());
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

private:
    std::vector<uint8_t>& out_;
    size_t total_;
};

} // namespace

int16_t Unreduce(std::vector<uint8_t>& Data, int16_t Method, int32_t OutLast)
{
    if (OutLast == -1) {
        Data.clear();
        return 0;
    }
    // Only the four reduce methods define a length/distance split, and the
    // expected size must be representable.
    if (Method < 2 || Method > 5 || OutLast < -1) return 0;
    const size_t total = static_cast<size_t>(OutLast) + 1;
    try {
        UnreduceDecoder decoder(Method);
        std::vector<uint8_t> out;
        // Text rarely expands more than a few times; beyond that the buffer
        // doubles as output is produced.
        growing_sink sink(out, total, 4 * Data.size() + 4096);
        if (decoder.decode(std::span<const uint8_t>(Data), sink, total) == DecodeStatus::ok) {
            Data = std::move(out);
            return 0;
        }
        return decoder.follower_count_cut() ? -1 : 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

} // namespace velmora
