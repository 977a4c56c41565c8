// The uncompressed size an .xz file states (the .xz file format 1.x): each
// stream's footer gives the size of its index, and the index the size of
// every block. Read backwards from the end of the file, over every stream and
// its padding, through liblzma's index decoder. Nothing is decompressed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace velmora {

// read_at(offset, out) fills out from the file at offset and returns the
// bytes read. nullopt when the file does not end in well-formed streams, or
// an index is larger than max_index_bytes (a hostile backward size).
std::optional<uint64_t> xz_uncompressed_size(const std::function<size_t(uint64_t, std::span<uint8_t>)>& read_at,
                                             uint64_t file_size, uint64_t max_index_bytes = uint64_t{64} << 20);

} // namespace velmora
