// ARC's run-length stage ("packing", method 3, and the last stage of methods 4,
// 6, 7 and 8): 0x90 n repeats the previous byte n - 1 more times, 0x90 0
// stands for 0x90 itself, as ARC 5.21 expands them. Works on a stream in
// pieces; keeps one byte of history and nothing else.
#pragma once

#include "codecs/ByteStream.h"
#include "codecs/OutputBuffer.h"

#include <cstdint>
#include <cstring>
#include <span>

namespace velmora {

class ArcRle {
public:
    // The marker byte (DLE) that opens a run.
    static constexpr uint8_t marker = 0x90;

    // Passes bytes straight through when `expand` is false (methods 5 and 9).
    void reset(bool expand)
    {
        expand_ = expand;
        last_ = 0;
        in_run_ = false;
    }

    // Expands `packed` into out. False when out took no more (its limit or a
    // refusing sink); the caller asks out which.
    bool write(std::span<const uint8_t> packed, OutputBuffer& out)
    {
        if (!expand_)
            return out.put(packed);
        while (!packed.empty()) {
            if (in_run_) {
                if (!write(packed[0], out))
                    return false;
                packed = packed.subspan(1);
                continue;
            }
            // Bytes up to the next marker pass through as they are.
            const uint8_t* m = nullptr;
            if (packed.size() < 16) { // LZW strings are short: a plain scan beats a call
                for (size_t i = 0; i < packed.size() && !m; ++i)
                    if (packed[i] == marker)
                        m = packed.data() + i;
            } else {
                m = static_cast<const uint8_t*>(std::memchr(packed.data(), marker, packed.size()));
            }
            const size_t plain = m ? static_cast<size_t>(m - packed.data()) : packed.size();
            if (plain > 0) {
                if (!out.put(packed.first(plain)))
                    return false;
                last_ = packed[plain - 1];
            }
            if (!m)
                return true;
            in_run_ = true;
            packed = packed.subspan(plain + 1);
        }
        return true;
    }

    bool write(uint8_t c, OutputBuffer& out)
    {
        if (!expand_)
            return out.put(c);
        if (in_run_) {
            in_run_ = false;
            // 0x90 0 is a literal 0x90 and leaves the repeated byte as it was;
            // 0x90 1 repeats nothing.
            if (c == 0)
                return out.put(marker);
            return out.put_run(last_, c - 1u);
        }
        if (c == marker) {
            in_run_ = true;
            return true;
        }
        last_ = c;
        return out.put(c);
    }

    // Method 3: the whole stream is packed bytes; exactly out_size bytes are
    // produced (the stream has no end mark of its own).
    DecodeStatus decode(ByteSource& in, ByteSink& out, uint64_t out_size);

private:
    DecodeStatus run(ByteSource& in, ByteSink& out, uint64_t out_size);
    bool expand_ = true;
    bool in_run_ = false;
    uint8_t last_ = 0;
};

} // namespace velmora
