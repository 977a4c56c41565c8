// Tar archives built byte by byte for tests: ustar header blocks with valid
// checksums, pax records and the end blocks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace velmora::test {

struct TarMember {
    TarMember(std::string n, std::string d, char t = '0') : name(std::move(n)), data(std::move(d)), type(t) {}
    std::string name;
    std::string data;
    char type = '0';
    std::string size_field; // overrides the octal size when set
    std::string mtime_field = "14621234567";
    std::string mode_field = "0000644";
    std::string magic = std::string("ustar\0" "00", 8);
    std::string prefix;
    std::string linkname;
};

inline void tar_put(std::string& block, size_t off, const std::string& text) { block.replace(off, text.size(), text); }

inline std::string tar_octal(uint64_t v, size_t width)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llo", static_cast<int>(width - 1), static_cast<unsigned long long>(v));
    return buf;
}

// One header block with a valid checksum, then the data padded to 512.
inline std::string tar_member(const TarMember& m)
{
    std::string block(512, '\0');
    tar_put(block, 0, m.name.substr(0, 100));
    tar_put(block, 100, m.mode_field);
    tar_put(block, 124, m.size_field.empty() ? tar_octal(m.data.size(), 12) : m.size_field);
    tar_put(block, 136, m.mtime_field);
    tar_put(block, 148, "        ");
    block[156] = m.type;
    tar_put(block, 157, m.linkname.substr(0, 100));
    tar_put(block, 257, m.magic);
    tar_put(block, 345, m.prefix);
    unsigned sum = 0;
    for (const unsigned char c : block)
        sum += c;
    tar_put(block, 148, tar_octal(sum, 7));
    std::string data = m.data;
    data.resize((data.size() + 511) / 512 * 512, '\0');
    return block + data;
}

inline std::string pax_record(const std::string& key, const std::string& value)
{
    const std::string body = " " + key + "=" + value + "\n";
    size_t len = body.size() + 1;
    while (std::to_string(len).size() + body.size() != len)
        ++len;
    return std::to_string(len) + body;
}

inline const std::string tar_end_blocks(1024, '\0');

} // namespace velmora::test
