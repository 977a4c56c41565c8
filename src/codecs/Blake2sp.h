// BLAKE2sp-256, the file checksum of RAR 5 archives (RFC 7693 for BLAKE2s;
// BLAKE2sp as the BLAKE2 paper and reference code define it: eight BLAKE2s
// leaves fed 64-byte blocks in turn, their digests hashed by a root node).
// Unkeyed only. OpenSSL 3.0's BLAKE2s does not take the tree parameters
// (fanout, depth, node offset, inner length) the leaves need, hence our own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora {

class Blake2sp {
public:
    static constexpr size_t digest_size = 32;
    static constexpr size_t block_size = 64;
    static constexpr unsigned leaves = 8;

    Blake2sp() { reset(); }
    void reset();
    void update(std::span<const uint8_t> data);
    // The digest of everything given since reset(); the object must be reset
    // before further use.
    std::array<uint8_t, digest_size> finish();

    // One BLAKE2s node with the parameters a tree needs; digest length 32,
    // no key. Also usable alone (fanout 1, depth 1) as plain BLAKE2s-256.
    class node {
    public:
        void init(uint8_t fanout, uint8_t depth, uint64_t node_offset, uint8_t node_depth, uint8_t inner_length,
                  bool last_node);
        void update(std::span<const uint8_t> data);
        std::array<uint8_t, digest_size> finish();

    private:
        void compress(const uint8_t* block, bool final);

        std::array<uint32_t, 8> h_{};
        uint64_t t_ = 0;                 // bytes compressed so far
        std::array<uint8_t, block_size> buf_{};
        size_t buflen_ = 0;              // the last block is kept until finish() or more data
        bool last_node_ = false;
    };

private:
    std::array<node, leaves> leaf_;
    node root_;
    std::array<uint8_t, leaves * block_size> stripe_{};  // blocks not yet handed to the leaves
    size_t stripe_len_ = 0;
};

// BLAKE2sp-256 of a whole buffer.
std::array<uint8_t, Blake2sp::digest_size> blake2sp(std::span<const uint8_t> data);

} // namespace velmora
