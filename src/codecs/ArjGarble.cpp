// ARJ garble: byte i of an entry's data is XORed with
// (password[i mod length] + modifier) mod 256, counted from the entry's first
// stored byte.
#include "codecs/ArjGarble.h"

namespace velmora {

ArjGarble::ArjGarble(ByteSource& inner, std::span<const uint8_t> password, uint8_t modifier) : inner_(inner)
{
    key_.reserve(password.size());
    for (const uint8_t b : password) key_.push_back(static_cast<uint8_t>(b + modifier));
}

size_t ArjGarble::read(std::span<uint8_t> out)
{
    const size_t got = inner_.read(out);
    unscramble(out.first(got));
    return got;
}

void ArjGarble::unscramble(std::span<uint8_t> data)
{
    if (key_.empty()) return;
    for (uint8_t& b : data) {
        b ^= key_[at_];
        if (++at_ == key_.size()) at_ = 0;
    }
}

} // namespace velmora
