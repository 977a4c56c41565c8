// Guards the RAR walk against hostile headers: cut-off blocks, sizes of 2 GiB
// and more, sizes pointing backwards, texts without a terminating zero and
// header sizes below their fixed part must end the listing, never hang it or
// read outside the file.
#include "listing_snapshot.h"

#include <gtest/gtest.h>

namespace velmora::test {
namespace {

Bytes marker()
{
    return Bytes{}.u8(0x52).u8(0x61).u8(0x72).u8(0x21).u8(0x1A).u8(0x07).u8(0x00);
}

Bytes file_block(const std::string& name, uint32_t pack, size_t data, uint16_t flags = 0x8000, const Bytes& after = {},
                 uint32_t unp = 0)
{
    Bytes b;
    b.le16(0).u8(0x74).le16(flags).le16(static_cast<unsigned>(32 + name.size() + after.size()));
    b.le32(pack).le32(unp).u8(0).le32(0).le32(0x3EDA76B7).u8(20).u8(0x30);
    b.le16(static_cast<unsigned>(name.size())).le32(0x20).text(name).append(after);
    b.zeros(data);
    return b;
}

Bytes block(uint8_t type, uint16_t head_size, const Bytes& body = {})
{
    return Bytes{}.le16(0).u8(type).le16(0).le16(head_size).append(body);
}

std::vector<std::string> names(const ListingSnapshot& s)
{
    std::vector<std::string> out;
    for (const auto& e : s.entries)
        out.push_back(e.name);
    return out;
}

TEST(RarHostileInput, EveryCutOfAnArchiveListsTheWholeHeadersBeforeTheCut)
{
    TempDir dir;
    Bytes a = marker();
    a.append(Bytes{}.le16(0).u8(0x73).le16(0x0002).le16(20).le16(0).le32(0).text("remark").u8(0));
    std::vector<size_t> header_ends;
    for (const char* n : {"one.txt", "two.txt", "three.txt"}) {
        a.append(file_block(n, 9, 0, 0x8002, Bytes{}.text("cm").u8(0)));
        header_ends.push_back(a.size());
        a.zeros(9);
    }
    const auto full = list_bytes(dir, "full.rar", a.b);
    ASSERT_EQ(full.count, 3);
    ASSERT_EQ(full.comment, "remark");

    for (size_t cut = 0; cut <= a.size(); ++cut) {
        std::vector<uint8_t> part(a.b.begin(), a.b.begin() + static_cast<std::ptrdiff_t>(cut));
        const auto s = list_bytes(dir, "cut.rar", part);
        if (cut < 7) {
            EXPECT_EQ(s.type, 0) << cut;
            continue;
        }
        EXPECT_EQ(s.type, 6) << cut;
        size_t whole = 0;
        for (size_t end : header_ends)
            whole += end <= cut ? 1 : 0;
        ASSERT_EQ(static_cast<size_t>(s.count), whole) << cut;
        for (int32_t k = 0; k < s.count; ++k)
            EXPECT_EQ(s.entries[k].name, full.entries[k].name) << cut;
        EXPECT_EQ(s.comment, cut >= 27 ? "remark" : "") << cut;
    }
}

TEST(RarHostileInput, SizesOfTwoGibAndMoreEndTheWalk)
{
    TempDir dir;
    // 0x80000000 and more read as negative: the position would fall to the
    // start of the file or before.
    for (uint32_t pack : {0x80000000u, 0xFFFFFFFFu, 0xFFFFFF00u}) {
        Bytes a = marker();
        a.append(file_block("big", pack, 4, 0x8000, {}, 0xFFFFFFF0u)).append(file_block("after", 0, 0));
        const auto s = list_bytes(dir, "neg.rar", a.b);
        EXPECT_EQ(s.result, 0);
        EXPECT_EQ(s.type, 6);
        ASSERT_EQ(s.count, 1) << pack;
        EXPECT_EQ(s.entries[0].packed, static_cast<int32_t>(pack));
        EXPECT_EQ(s.entries[0].size, -16);
    }
    // Just below 2 GiB: the next position passes the 32-bit range.
    Bytes b = marker();
    b.append(file_block("huge", 0x7FFFFFF0u, 4)).append(file_block("after", 0, 0));
    const auto t = list_bytes(dir, "huge.rar", b.b);
    EXPECT_EQ(t.type, 6);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.entries[0].packed, 0x7FFFFFF0);
}

TEST(RarHostileInput, SizesPointingBackwardsNeverRevisitAHeader)
{
    TempDir dir;
    // The second entry's packed size steps back onto the first header; read
    // literally the walk would list the two entries again and again.
    Bytes a = marker();
    a.append(file_block("first", 0, 0));
    const size_t second_start = a.size();
    a.append(file_block("second", 0, 0));
    const auto back = static_cast<uint32_t>(-static_cast<int32_t>(a.size() - 7));
    a.b[second_start + 7] = static_cast<uint8_t>(back);
    a.b[second_start + 8] = static_cast<uint8_t>(back >> 8);
    a.b[second_start + 9] = static_cast<uint8_t>(back >> 16);
    a.b[second_start + 10] = static_cast<uint8_t>(back >> 24);
    a.append(file_block("third", 0, 0));
    const auto s = list_bytes(dir, "back.rar", a.b);
    EXPECT_EQ(s.type, 6);
    EXPECT_EQ(names(s), (std::vector<std::string>{"first", "second"}));
}

TEST(RarHostileInput, TextsWithoutAZeroStopAtTheLimit)
{
    TempDir dir;
    auto main_with_text = [](size_t len, bool terminated) {
        Bytes m;
        const size_t size = 13 + len + (terminated ? 1 : 0);
        m.le16(0).u8(0x73).le16(0x0002).le16(static_cast<unsigned>(size)).le16(0).le32(0);
        m.b.insert(m.b.end(), len, 'x');
        if (terminated)
            m.u8(0);
        return m;
    };
    {
        // 32,740 bytes and the zero: the longest text taken.
        Bytes a = marker();
        a.append(main_with_text(32740, true)).append(file_block("f", 0, 0));
        const auto s = list_bytes(dir, "longest.rar", a.b);
        EXPECT_EQ(s.comment.size(), 32740u);
        EXPECT_EQ(s.count, 1);
    }
    {
        // 32,741 bytes with no zero inside the header: an overflow that ends
        // the listing; the main header is not kept.
        Bytes a = marker();
        a.append(main_with_text(40000, false)).append(file_block("f", 0, 0));
        const auto s = list_bytes(dir, "overlong.rar", a.b);
        EXPECT_EQ(s.result, 0);
        EXPECT_EQ(s.type, 6);
        EXPECT_EQ(s.count, 0);
        EXPECT_EQ(s.comment, "");
    }
    {
        // A text that would run past the end of the file: the header is cut
        // off, nothing after the marker is listed.
        Bytes a = marker();
        a.append(main_with_text(100, true));
        a.b.resize(a.size() - 50);
        const auto s = list_bytes(dir, "cuttext.rar", a.b);
        EXPECT_EQ(s.type, 6);
        EXPECT_EQ(s.comment, "");
    }
}

TEST(RarHostileInput, SmallBlockSizesEndTheWalk)
{
    TempDir dir;
    {
        // A sub block below its 14 fixed bytes: the entries before it stay.
        Bytes a = marker();
        a.append(file_block("kept", 0, 0)).append(block(0x77, 10, Bytes{}.le32(0).le16(0).u8(0)));
        a.append(file_block("lost", 0, 0));
        const auto s = list_bytes(dir, "sub.rar", a.b);
        EXPECT_EQ(s.type, 6);
        EXPECT_EQ(names(s), (std::vector<std::string>{"kept"}));
    }
    {
        // HEAD_SIZE 0x8000 reads as -32768: minus 13 leaves the 16-bit range.
        Bytes a = marker();
        a.append(file_block("kept", 0, 0)).append(block(0x75, 0x8000, Bytes{}.le16(0).u8(0).u8(0).le16(0)));
        a.append(file_block("lost", 0, 0));
        const auto s = list_bytes(dir, "cmt.rar", a.b);
        EXPECT_EQ(names(s), (std::vector<std::string>{"kept"}));
    }
    {
        // A comment block smaller than 13 bytes skips a 16-bit count forward
        // (here past the end of the file).
        Bytes a = marker();
        a.append(file_block("kept", 0, 0)).append(block(0x75, 5, Bytes{}.le16(0).u8(0).u8(0).le16(0)));
        a.append(file_block("past", 0, 0));
        const auto s = list_bytes(dir, "cmt-small.rar", a.b);
        EXPECT_EQ(names(s), (std::vector<std::string>{"kept"}));
    }
    {
        // Blocks of other types are stepped over by HEAD_SIZE; a run of
        // seven-byte ones ends at the end of the file.
        Bytes a = marker();
        for (int i = 0; i < 2000; ++i)
            a.append(block(0x7C, 0));
        a.append(file_block("last", 0, 0));
        const auto s = list_bytes(dir, "unknown.rar", a.b);
        EXPECT_EQ(names(s), (std::vector<std::string>{"last"}));
    }
}

TEST(RarHostileInput, ServiceBlocksAreSteppedOverWhole)
{
    // RAR 3.x writes its archive comment as a service block (type 0x7A,
    // LONG_BLOCK, "CMT") whose packed data follows the header; walking into
    // it would read comment bytes as block headers and lose the files.
    TempDir dir;
    const auto service = [](uint16_t flags, uint16_t head_size, const Bytes& body) {
        return Bytes{}.le16(0).u8(0x7A).le16(flags).le16(head_size).append(body);
    };
    Bytes service_data;
    for (int i = 0; i < 40; ++i)
        service_data.u8(0x73); // bytes that look like main headers if misread
    Bytes a = marker();
    a.append(service(0x8000, 7 + 4 + 2 + 3, Bytes{}.le32(static_cast<uint32_t>(service_data.size())).le16(3).text("CMT")));
    a.append(service_data);
    a.append(file_block("after-comment", 0, 0));
    // A service block with a HEAD_SIZE below the base header moves on seven bytes.
    a.append(service(0, 3, Bytes{}));
    a.append(file_block("after-short", 0, 0));
    // An ADD_SIZE pointing past the end ends the walk with what was found.
    a.append(service(0x8000, 11, Bytes{}.le32(0x7FFFFFFF)));
    a.append(file_block("never", 0, 0));
    const auto s = list_bytes(dir, "service.rar", a.b);
    EXPECT_EQ(s.type, 6);
    EXPECT_EQ(names(s), (std::vector<std::string>{"after-comment", "after-short"}));
}

TEST(RarHostileInput, NameSizeBeyondTheFileEndsTheWalk)
{
    TempDir dir;
    Bytes a = marker();
    a.append(file_block("kept", 0, 0));
    Bytes bad = file_block("x", 0, 0);
    bad.put_le16(7 + 19, 0xFFFF); // NAME_SIZE
    a.append(bad);
    const auto s = list_bytes(dir, "name.rar", a.b);
    EXPECT_EQ(names(s), (std::vector<std::string>{"kept"}));
}

} // namespace
} // namespace velmora::test
