// Inflate over a whole entry in memory: the stream decoder's whole-entry
// rules, with its endings mapped onto the results -1 and -2 and the rule that
// a fault leaves Data as given.
#include "codecs/Mod_Inflate64.h"

#include <new>

#include "codecs/InflateDecoder.h"

namespace velmora {

int32_t Inflate(std::vector<uint8_t>& Data, int32_t OutLast, bool IsDeflate64, WindowServices* window)
{
    try {
        InflateDecoder decoder(IsDeflate64, inflate_rules::whole_entry, window);
        std::vector<uint8_t> out;
        const uint64_t limit = OutLast < 0 ? 0 : uint64_t{static_cast<uint32_t>(OutLast)} + 1;
        const DecodeStatus status = decoder.decode(Data, out, limit);
        // Block type 3 and stored blocks short of input or output end the
        // call with the output so far; other failures keep Data as given.
        const inflate_fault fault = decoder.fault();
        const bool incomplete = fault == inflate_fault::block_type_3 || fault == inflate_fault::stored_short;
        if (status == DecodeStatus::ok || incomplete) {
            if (out.capacity() - out.size() > out.size() / 4 + 65536) out.shrink_to_fit();
            Data.swap(out);
        }
        if (incomplete) return inflate_incomplete;
        return decoder.stored_length_mismatch() ? inflate_bad_stored_length : inflate_ok;
    } catch (const std::bad_alloc&) {
        return inflate_ok; // no memory for the decoder itself: Data left as given
    }
}

} // namespace velmora
