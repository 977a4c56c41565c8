// MacLHA's MacBinary wrapper: LZH entries written by MacLHA (OS id 'm') may
// hold a 128-byte MacBinary header before the file's forks. A header that
// checks out against the entry (its zero fields, the entry's own name, fork
// lengths that add up to the entry's size) is dropped together with all but
// one fork: the data fork, or the resource fork when the data fork is empty.
// Anything else passes whole: MacBinary has no magic number.
#pragma once

#include "formats/catalogue/CatalogueUnpack.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

class MacBinaryFilter final : public OutputFilter {
public:
    // name: the entry's file name without folders, as stored; entry_size:
    // the size the entry decodes to.
    MacBinaryFilter(ByteSink& out, std::string_view name, uint64_t entry_size);

    bool write(std::span<const uint8_t> data) override;
    bool finish() override;

    static constexpr size_t header_size = 128;

    // Whether `head` is a MacBinary header MacLHA put before a file named
    // `name` whose entry decodes to `entry_size` bytes.
    static bool is_header(std::span<const uint8_t, header_size> head, std::string_view name, uint64_t entry_size);

private:
    bool forward(std::span<const uint8_t> data);

    ByteSink& out_;
    std::string name_;
    uint64_t entry_size_;
    std::array<uint8_t, header_size> head_{};
    size_t held_ = 0;       // bytes of head_ filled while undecided
    bool decided_ = false;
    bool wrapped_ = false;  // a header was found: only [keep_from_, keep_to_) passes
    uint64_t at_ = 0;       // stream offset of the next byte
    uint64_t keep_from_ = 0;
    uint64_t keep_to_ = UINT64_MAX;
};

} // namespace velmora
