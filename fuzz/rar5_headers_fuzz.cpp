// libFuzzer target for the RAR 5 header walk over an archive in memory. The
// walk must stop inside the input; a record's data is flagged truncated
// exactly when it runs past the end; the walk without CRC checks reads the
// same records up to the first header whose CRC fails.
#include <cstdint>
#include <cstdlib>

#include "formats/catalogue/Rar5Headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    const auto strict = velmora::rar5::read_headers(bytes, true);
    const auto lenient = velmora::rar5::read_headers(bytes, false);
    for (const auto* l : {&strict, &lenient}) {
        if (l->end_offset > size)
            std::abort();
        for (const auto& r : l->records) {
            if (r.data_truncated != (r.data_offset > size || r.data_size > size - r.data_offset))
                std::abort();
            if (r.header_offset >= r.data_offset)
                std::abort();
        }
        if (l->comment && !l->comment_record)
            std::abort();
    }
    if (strict.records.size() > lenient.records.size())
        std::abort();
    for (size_t i = 0; i < strict.records.size(); ++i) {
        if (strict.records[i].header_offset != lenient.records[i].header_offset
            || strict.records[i].name != lenient.records[i].name)
            std::abort();
    }
    return 0;
}
