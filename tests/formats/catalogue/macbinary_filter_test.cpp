// Guards the MacBinary filter of MacLHA entries against dropping bytes of
// files that merely look like MacBinary (another name, sizes that do not add
// up, non-zero reserved fields, streams shorter than a header), against
// keeping the wrong fork, and against results that depend on how the
// decoder splits its writes.
#include "formats/catalogue/MacBinaryFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora;

namespace {

class collect final : public ByteSink {
public:
    bool write(std::span<const uint8_t> data) override
    {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return true;
    }
    std::string bytes;
};

void put_be32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// A MacBinary stream as MacLHA writes it: header, data fork padded to a
// block, resource fork, no padding after the last fork.
std::vector<uint8_t> wrapped(const std::string& name, const std::string& data_fork, const std::string& resource_fork)
{
    std::vector<uint8_t> b(128, 0);
    b[1] = static_cast<uint8_t>(name.size());
    std::copy(name.begin(), name.end(), b.begin() + 2);
    b[0x41] = 'T'; // file type and creator: anything
    b[0x45] = 'C';
    put_be32(b, 0x53, static_cast<uint32_t>(data_fork.size()));
    put_be32(b, 0x57, static_cast<uint32_t>(resource_fork.size()));
    put_be32(b, 0x5F, 0xC0000000u); // modification date: not checked
    b.insert(b.end(), data_fork.begin(), data_fork.end());
    if (!resource_fork.empty()) {
        b.resize((b.size() + 127) / 128 * 128, 0);
        b.insert(b.end(), resource_fork.begin(), resource_fork.end());
    }
    b.resize((b.size() + 127) / 128 * 128, 0);
    return b;
}

std::string filtered(const std::vector<uint8_t>& stream, const std::string& name, size_t piece)
{
    collect out;
    MacBinaryFilter filter(out, name, stream.size());
    for (size_t at = 0; at < stream.size(); at += piece)
        EXPECT_TRUE(filter.write(std::span(stream).subspan(at, std::min(piece, stream.size() - at))));
    EXPECT_TRUE(filter.finish());
    return out.bytes;
}

TEST(MacBinaryFilter, KeepsOneForkOfAHeaderThatChecksOut)
{
    const std::string data(300, 'd');
    const std::string resource(70, 'r');
    struct filter_case {
        const char* what;
        std::vector<uint8_t> stream;
        std::string name;
        std::string want; // empty: the stream whole
    };
    std::vector<filter_case> cases = {
        {"data fork", wrapped("f.txt", data, ""), "f.txt", data},
        {"data fork before a resource fork", wrapped("f.txt", data, resource), "f.txt", data},
        {"resource fork alone", wrapped("f.txt", "", resource), "f.txt", resource},
        {"another name", wrapped("f.txt", data, ""), "g.txt", ""},
        {"a longer name", wrapped("f.txt", data, ""), "f.txt2", ""},
        {"short stream", std::vector<uint8_t>(100, 0), "f.txt", ""},
    };
    auto bad_version = wrapped("f.txt", data, "");
    bad_version[0] = 1;
    cases.push_back({"version byte", bad_version, "f.txt", ""});
    auto reserved = wrapped("f.txt", data, "");
    reserved[0x52] = 1;
    cases.push_back({"reserved byte", reserved, "f.txt", ""});
    auto tail = wrapped("f.txt", data, "");
    tail[0x7F] = 1;
    cases.push_back({"MacBinary II field", tail, "f.txt", ""});
    auto after_name = wrapped("f.txt", data, "");
    after_name[0x2 + 5] = 'x';
    cases.push_back({"bytes after the name", after_name, "f.txt", ""});
    auto long_fork = wrapped("f.txt", data, "");
    put_be32(long_fork, 0x53, 300 + 128);
    cases.push_back({"forks longer than the entry", long_fork, "f.txt", ""});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string whole(c.stream.begin(), c.stream.end());
        const std::string want = c.want.empty() ? whole : c.want;
        for (const size_t piece : {size_t{1}, size_t{7}, size_t{128}, size_t{4096}})
            EXPECT_EQ(filtered(c.stream, c.name, piece), want) << "pieces of " << piece;
    }
}

} // namespace
