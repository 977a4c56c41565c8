// Guards the ZIP method decoders (12 BZip2, 14 LZMA with and without its end
// marker, 95 XZ) and WinZip AES against misreading what real writers put in
// an entry: 7-Zip and Python's zipfile make the archives at test time, the
// corpus adds entries made elsewhere. For AES: every key size, the verifier
// refusing wrong passwords before any decoding, and the authentication code
// catching altered, cut and foreign data.
#include "archive/Cls_CRC32.h"
#include "codecs/Bzip2Decoder.h"
#include "codecs/LzmaDecoder.h"
#include "codecs/Mod_Inflate64.h"
#include "codecs/StreamBuffers.h"
#include "codecs/WinZipAesSource.h"
#include "codecs/XzDecoder.h"
#include "support/CodecTestSupport.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <nlohmann/json.hpp>

#include <fstream>

using namespace velmora;
using namespace velmora::test;

namespace {

constexpr uint16_t zip_flag_lzma_eos = 0x0002;

// Runs a command that writes a ZIP file ({in}: the data file, {zip}: the
// archive to write) and returns its first entry.
std::optional<ZipLocalEntry> zip_with(const TempDir& dir, std::string command, std::span<const uint8_t> data)
{
    static int serial = 0;
    const auto in = dir / "data.bin";
    const auto zip = dir / ("made" + std::to_string(++serial) + ".zip");
    write_file(in, std::vector<uint8_t>(data.begin(), data.end()));
    for (const auto& [key, path] : {std::pair{std::string("{in}"), in}, std::pair{std::string("{zip}"), zip}})
        for (size_t p; (p = command.find(key)) != std::string::npos;)
            command.replace(p, key.size(), shell_quote(path.string()));
    if (run_command("cd " + shell_quote(dir.str()) + " && " + command + " >/dev/null 2>&1") != 0) return std::nullopt;
    return first_zip_entry(read_file(zip));
}

std::string seven_zip(const std::string& options) { return "7z a -tzip -bso0 -bsp0 " + options + " {zip} data.bin"; }

std::string python_zip(const std::string& method)
{
    return "python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[2], 'w', zipfile." + method +
           "); z.write(sys.argv[1], 'data.bin'); z.close()\" {in} {zip}";
}

// Decodes entry data of a ZIP method the streaming decoders handle.
DecodeStatus decode_method(uint16_t method, uint16_t flags, ByteSource& in, ByteSink& out, uint64_t size)
{
    switch (method) {
    case 0: {
        std::vector<uint8_t> buf(4096);
        for (size_t n; (n = in.read(buf)) > 0;)
            if (!out.write(std::span(buf).first(n))) return DecodeStatus::stopped;
        return DecodeStatus::ok;
    }
    case 12: return Bzip2Decoder(Bzip2Decoder::Streams::single).decode(in, out, size);
    case 14: return LzmaDecoder().decode(in, out, size, (flags & zip_flag_lzma_eos) != 0);
    case 95: return XzDecoder(XzDecoder::Streams::single).decode(in, out, size);
    default: return DecodeStatus::unsupported;
    }
}

struct Writer {
    std::string name;
    std::string tool;
    std::string command;
    uint16_t method;
};

const std::vector<Writer>& writers()
{
    static const std::vector<Writer> list = {
        {"7z_lzma", "7z", seven_zip("-mm=LZMA"), 14},      {"7z_lzma_fast", "7z", seven_zip("-mm=LZMA -mx=1"), 14},
        {"python_lzma", "python3", python_zip("ZIP_LZMA"), 14}, {"7z_bzip2", "7z", seven_zip("-mm=BZip2"), 12},
        {"python_bzip2", "python3", python_zip("ZIP_BZIP2"), 12}, {"7z_xz", "7z", seven_zip("-mm=XZ"), 95},
    };
    return list;
}

class ZipMethodWriters : public ::testing::TestWithParam<Writer> {
protected:
    void SetUp() override
    {
        if (!have_tool(GetParam().tool)) GTEST_SKIP() << GetParam().tool << " is not installed";
    }
    TempDir dir_;
};

} // namespace

TEST_P(ZipMethodWriters, EntriesDecodeToTheirData)
{
    const auto& w = GetParam();
    // (7-Zip stores what does not shrink, so the smallest entry is a run.)
    for (size_t size : {size_t{400}, size_t{5000}, size_t{700000}}) {
        const auto data =
            size < 1000 ? std::vector<uint8_t>(size, 'x') : mixed_data(size, static_cast<uint32_t>(size) + w.method);
        const auto entry = zip_with(dir_, w.command, data);
        ASSERT_TRUE(entry.has_value()) << w.command;
        ASSERT_EQ(entry->method, w.method);
        ASSERT_EQ(entry->uncompressed_size, size);
        for (size_t piece : {SIZE_MAX, size_t{3}}) {
            std::vector<uint8_t> out;
            VectorSink sink(out);
            chunked_source in(entry->data, piece);
            ASSERT_EQ(decode_method(entry->method, entry->flags, in, sink, entry->uncompressed_size), DecodeStatus::ok)
                << size << " in pieces of " << piece;
            EXPECT_TRUE(out == data);
            EXPECT_EQ(crc32_update(0, out), entry->crc32);
        }
        // A cut entry is an error, never a short success.
        std::vector<uint8_t> out;
        VectorSink sink(out);
        SpanSource in(std::span(entry->data).first(entry->data.size() * 2 / 3));
        EXPECT_NE(decode_method(entry->method, entry->flags, in, sink, entry->uncompressed_size), DecodeStatus::ok);
    }
}

INSTANTIATE_TEST_SUITE_P(Writers, ZipMethodWriters, ::testing::ValuesIn(writers()),
                         [](const auto& p) { return p.param.name; });

// ---- LZMA without the end marker -------------------------------------------

namespace {

// A ZIP LZMA entry without an end marker, made with liblzma's LZMA1EXT
// encoder (7-Zip and zipfile always write the marker).
std::vector<uint8_t> zip_lzma_without_marker(std::span<const uint8_t> data)
{
    lzma_options_lzma opt;
    EXPECT_FALSE(lzma_lzma_preset(&opt, 6));
    opt.ext_flags = 0; // no end of payload marker
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::vector<uint8_t> out(9 + data.size() + data.size() / 2 + 1024);
    out[0] = 0x10; // LZMA SDK version 16.02, as 7-Zip writes it
    out[1] = 0x02;
    out[2] = 5;
    out[3] = 0;
    lzma_filter props_filter = {LZMA_FILTER_LZMA1, &opt};
    EXPECT_EQ(lzma_properties_encode(&props_filter, out.data() + 4), LZMA_OK);
    size_t pos = 9;
    EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), out.data(), &pos, out.size()), LZMA_OK);
    out.resize(pos);
    return out;
}

DecodeStatus lzma_entry(std::span<const uint8_t> entry, uint64_t size, bool eos, std::vector<uint8_t>& out,
                        uint64_t memlimit = LiblzmaStream::default_memlimit)
{
    out.clear();
    VectorSink sink(out);
    chunked_source in(entry, 1000);
    return LzmaDecoder(memlimit).decode(in, sink, size, eos);
}

} // namespace

TEST(ZipLzma, WithAndWithoutTheEndMarker)
{
    if (!have_tool("python3")) GTEST_SKIP();
    TempDir dir;
    const auto data = mixed_data(400000, 11);
    const auto bare = zip_lzma_without_marker(data);
    const auto marked = zip_with(dir, python_zip("ZIP_LZMA"), data);
    ASSERT_TRUE(marked.has_value());
    ASSERT_TRUE(marked->flags & zip_flag_lzma_eos);
    const size_t n = data.size();
    std::vector<uint8_t> out;

    // Without the marker the size ends the data. liblzma checks that the
    // data really ends there: a size short of it is an error, after exactly
    // that many bytes.
    EXPECT_EQ(lzma_entry(bare, n, false, out), DecodeStatus::ok);
    EXPECT_TRUE(out == data);
    EXPECT_EQ(lzma_entry(bare, n - 100, false, out), DecodeStatus::data_error);
    EXPECT_TRUE(out.size() <= n - 100 && std::equal(out.begin(), out.end(), data.begin()));
    // A marker right after the stated size is accepted though the flag does not announce it.
    EXPECT_EQ(lzma_entry(marked->data, n, false, out), DecodeStatus::ok);
    EXPECT_TRUE(out == data);
    EXPECT_EQ(lzma_entry(std::span(bare).first(bare.size() - 10), n, false, out), DecodeStatus::truncated);
    // Flagged as ending with a marker that is not there: the input runs out.
    EXPECT_EQ(lzma_entry(bare, n, true, out), DecodeStatus::truncated);

    // With the marker, the size is a limit.
    EXPECT_EQ(lzma_entry(marked->data, n, true, out), DecodeStatus::ok);
    EXPECT_TRUE(out == data);
    EXPECT_EQ(lzma_entry(marked->data, n + 5000, true, out), DecodeStatus::ok);
    EXPECT_EQ(out.size(), n) << "the marker ends it, whatever the size allowed";
    EXPECT_EQ(lzma_entry(marked->data, n - 1, true, out), DecodeStatus::output_limit);
    EXPECT_EQ(out.size(), n - 1);
    // A marker where none may be: before the stated size.
    EXPECT_EQ(lzma_entry(marked->data, n + 10, false, out), DecodeStatus::data_error);

    // An empty file: the marker alone (with the flag, or right at size 0 without it).
    const auto empty = zip_with(dir, python_zip("ZIP_LZMA"), std::vector<uint8_t>{});
    ASSERT_TRUE(empty.has_value());
    ASSERT_EQ(empty->method, 14);
    EXPECT_EQ(lzma_entry(empty->data, 0, true, out), DecodeStatus::ok);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(lzma_entry(empty->data, 0, false, out), DecodeStatus::ok);
    EXPECT_EQ(lzma_entry(empty->data, 1, false, out), DecodeStatus::data_error);
}

TEST(ZipLzma, HeaderAndDictionary)
{
    const auto data = mixed_data(3u << 20, 12);
    const auto entry = zip_lzma_without_marker(data);
    std::vector<uint8_t> out;

    auto bad_props_size = entry;
    bad_props_size[2] = 4;
    EXPECT_EQ(lzma_entry(bad_props_size, data.size(), false, out), DecodeStatus::data_error);
    EXPECT_EQ(lzma_entry(std::span(entry).first(8), data.size(), false, out), DecodeStatus::truncated);
    auto bad_lclppb = entry;
    bad_lclppb[4] = 225; // past (pb 4, lp 4, lc 8)
    EXPECT_EQ(lzma_entry(bad_lclppb, data.size(), false, out), DecodeStatus::data_error);

    // A declared dictionary of 4 GiB on a small entry is held to the entry's size.
    const auto small = mixed_data(20000, 13);
    auto huge_dict = zip_lzma_without_marker(small);
    std::fill(huge_dict.begin() + 5, huge_dict.begin() + 9, 0xFF);
    EXPECT_EQ(lzma_entry(huge_dict, small.size(), false, out, 8u << 20), DecodeStatus::ok);
    EXPECT_TRUE(out == small);
    // A large one over the allowance is refused before decoding.
    EXPECT_EQ(lzma_entry(entry, data.size(), false, out, 1u << 20), DecodeStatus::unsupported);
    EXPECT_TRUE(out.empty());
}

// ---- WinZip AES ----------------------------------------------------------

namespace {

const std::string aes_password = "Velmora-Test-Pa55";

struct AesEntry {
    ZipLocalEntry zip;
    WinZipAesExtra aes;
};

std::optional<AesEntry> aes_entry(const TempDir& dir, const std::string& options, std::span<const uint8_t> data)
{
    auto zip = zip_with(dir, seven_zip(options + " -p" + aes_password), data);
    if (!zip || zip->method != 99) return std::nullopt;
    const auto aes = parse_winzip_aes_extra(zip->extra);
    if (!aes) return std::nullopt;
    return AesEntry{std::move(*zip), *aes};
}

struct AesResult {
    WinZipAesSource::OpenResult open;
    DecodeStatus decode = DecodeStatus::unsupported;
    WinZipAesSource::Authentication auth = WinZipAesSource::Authentication::pending;
    std::vector<uint8_t> out;
};

AesResult decrypt_and_decode(const AesEntry& e, std::span<const uint8_t> stored, const std::string& password,
                             size_t piece = SIZE_MAX)
{
    AesResult r;
    chunked_source raw(stored, piece);
    WinZipAesSource source(raw, e.zip.data.size(), e.aes.strength);
    r.open = source.open(bytes_of(password));
    if (r.open != WinZipAesSource::OpenResult::ok) return r;
    VectorSink sink(r.out);
    r.decode = decode_method(e.aes.method, e.zip.flags, source, sink, e.zip.uncompressed_size);
    r.auth = source.finish();
    return r;
}

} // namespace

TEST(WinZipAes, SevenZipEntriesAtEveryStrength)
{
    if (!have_tool("7z")) GTEST_SKIP();
    TempDir dir;
    const auto data = mixed_data(300000, 14);
    for (const std::string method : {"Copy", "LZMA", "BZip2"}) {
        for (unsigned bits : {128u, 192u, 256u}) {
            const std::string what = method + " AES-" + std::to_string(bits);
            const auto e = aes_entry(dir, "-mm=" + method + " -mem=AES" + std::to_string(bits), data);
            ASSERT_TRUE(e.has_value()) << what;
            EXPECT_EQ(e->aes.strength, bits / 64 - 1) << what;
            EXPECT_EQ(e->zip.data.size() > WinZipAesSource::overhead(e->aes.strength), true);
            // AE-1 keeps the CRC; AE-2 stores 0 and leaves it to the code.
            if (e->aes.vendor_version == 1) {
                EXPECT_EQ(e->zip.crc32, crc32_update(0, data)) << what;
            } else {
                EXPECT_EQ(e->aes.vendor_version, 2) << what;
                EXPECT_EQ(e->zip.crc32, 0u) << what;
            }

            for (size_t piece : {SIZE_MAX, size_t{7}}) {
                const auto r = decrypt_and_decode(*e, e->zip.data, aes_password, piece);
                ASSERT_EQ(r.open, WinZipAesSource::OpenResult::ok) << what;
                EXPECT_EQ(r.decode, DecodeStatus::ok) << what;
                EXPECT_EQ(r.auth, WinZipAesSource::Authentication::ok) << what;
                EXPECT_TRUE(r.out == data) << what;
            }
        }
    }
}

TEST(WinZipAes, WrongPasswordsAlteredAndCutData)
{
    if (!have_tool("7z")) GTEST_SKIP();
    TempDir dir;
    const auto data = mixed_data(100000, 15);
    const auto e = aes_entry(dir, "-mm=LZMA -mem=AES256", data);
    ASSERT_TRUE(e.has_value());
    using Open = WinZipAesSource::OpenResult;
    using Auth = WinZipAesSource::Authentication;

    // The 2-byte verifier turns away all but one wrong password in 65536;
    // one that slips through must still fail the code.
    for (const std::string wrong : {"velmora-test-pa55", "Velmora-Test-Pa5", "", "Velmora-Test-Pa55 "}) {
        const auto r = decrypt_and_decode(*e, e->zip.data, wrong);
        if (r.open == Open::ok) {
            EXPECT_EQ(r.auth, Auth::failed) << wrong;
        } else {
            EXPECT_EQ(r.open, Open::wrong_password) << wrong;
        }
    }

    const size_t salt = WinZipAesSource::salt_size(e->aes.strength);
    const size_t data_start = salt + WinZipAesSource::verifier_size;
    const size_t code_start = e->zip.data.size() - WinZipAesSource::code_size;
    for (size_t at : {data_start, (data_start + code_start) / 2, code_start - 1, code_start, e->zip.data.size() - 1}) {
        auto altered = e->zip.data;
        altered[at] ^= 0x20;
        const auto r = decrypt_and_decode(*e, altered, aes_password);
        ASSERT_EQ(r.open, Open::ok);
        EXPECT_EQ(r.auth, Auth::failed) << "byte " << at << " of " << altered.size();
    }
    auto bad_salt = e->zip.data;
    bad_salt[0] ^= 1;
    EXPECT_NE(decrypt_and_decode(*e, bad_salt, aes_password).auth, Auth::ok);

    // The stored size says more than the input gives.
    for (size_t cut : {size_t{5}, data_start, code_start, e->zip.data.size() - 1}) {
        const auto r = decrypt_and_decode(*e, std::span(e->zip.data).first(cut), aes_password);
        if (cut < data_start) {
            EXPECT_EQ(r.open, Open::damaged) << cut;
        } else {
            EXPECT_EQ(r.auth, Auth::truncated) << cut;
        }
    }
    // Too short to hold salt, verifier and code at all.
    SpanSource tiny(e->zip.data);
    EXPECT_EQ(WinZipAesSource(tiny, WinZipAesSource::overhead(3) - 1, 3).open(bytes_of(aes_password)), Open::damaged);
    SpanSource other(e->zip.data);
    EXPECT_EQ(WinZipAesSource(other, e->zip.data.size(), 4).open(bytes_of(aes_password)), Open::unsupported);
}

// What the decoder leaves unread (an LZMA end marker before the last stored
// byte is all it takes) is still covered by the code: finish() reads it.
TEST(WinZipAes, FinishCoversDataTheDecoderLeft)
{
    if (!have_tool("7z")) GTEST_SKIP();
    TempDir dir;
    const auto data = mixed_data(50000, 16);
    const auto e = aes_entry(dir, "-mm=Copy -mem=AES128", data);
    ASSERT_TRUE(e.has_value());
    SpanSource raw(e->zip.data);
    WinZipAesSource source(raw, e->zip.data.size(), e->aes.strength);
    ASSERT_EQ(source.open(bytes_of(aes_password)), WinZipAesSource::OpenResult::ok);
    EXPECT_EQ(source.data_size(), data.size());
    std::vector<uint8_t> head(1000);
    ASSERT_EQ(read_fully(source, head), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), data.begin()));
    EXPECT_EQ(source.authentication(), WinZipAesSource::Authentication::pending);
    EXPECT_EQ(source.finish(), WinZipAesSource::Authentication::ok);
    EXPECT_EQ(raw.remaining(), 0u);
}

// An entry from another writer (libarchive's test suite): AES-128, AE-2,
// Deflate inside, password "password".
TEST(WinZipAes, CorpusEntryInflatesToTheListedContent)
{
    const auto path = corpus_dir() / "zip" / "test_read_format_zip_winzip_aes128.zip";
    if (!corpus_available() || !std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
    const auto zip = first_zip_entry(read_file(path));
    ASSERT_TRUE(zip.has_value());
    const auto aes = parse_winzip_aes_extra(zip->extra);
    ASSERT_TRUE(aes.has_value());
    EXPECT_EQ(aes->vendor_version, 2);
    EXPECT_EQ(aes->strength, 1);
    ASSERT_EQ(aes->method, 8);

    std::ifstream js(path.string() + ".expected.json");
    const auto expected = nlohmann::json::parse(js);
    const std::string password = expected.at("password");
    const std::string sha256 = expected.at("entries").at(0).at("sha256");

    SpanSource raw(zip->data);
    WinZipAesSource source(raw, zip->data.size(), aes->strength);
    ASSERT_EQ(source.open(bytes_of(password)), WinZipAesSource::OpenResult::ok);
    std::vector<uint8_t> deflated(source.data_size());
    ASSERT_EQ(read_fully(source, deflated), deflated.size());
    EXPECT_EQ(source.finish(), WinZipAesSource::Authentication::ok);
    Inflate(deflated, static_cast<int32_t>(zip->uncompressed_size) - 1, false);
    ASSERT_EQ(deflated.size(), zip->uncompressed_size);
    std::vector<uint8_t> digest(crypto::sha256_size);
    ASSERT_TRUE(crypto::digest(crypto::Hash::sha256, deflated, digest));
    EXPECT_EQ(to_hex(digest), sha256);

    SpanSource raw2(zip->data);
    EXPECT_EQ(WinZipAesSource(raw2, zip->data.size(), aes->strength).open(bytes_of("Password")),
              WinZipAesSource::OpenResult::wrong_password);
}

TEST(WinZipAes, ExtraFieldRecords)
{
    struct Case {
        std::string what;
        std::string hex;
        std::optional<WinZipAesExtra> expected;
    };
    const std::vector<Case> cases = {
        {"AE-2, AES-256, LZMA", "0199 0700 0200 4145 03 0e00", WinZipAesExtra{2, 3, 14}},
        {"after an extended timestamp", "5554 0500 01 00000000 0199 0700 0100 4145 01 0800", WinZipAesExtra{1, 1, 8}},
        {"longer than 7 bytes", "0199 0900 0200 4145 02 0000 ffff", WinZipAesExtra{2, 2, 0}},
        {"none", "5554 0500 01 00000000", std::nullopt},
        {"empty", "", std::nullopt},
        {"short record", "0199 0600 0200 4145 03 0e", std::nullopt},
        {"vendor not AE", "0199 0700 0200 4146 03 0e00", std::nullopt},
        {"strength 0", "0199 0700 0200 4145 00 0e00", std::nullopt},
        {"strength 4", "0199 0700 0200 4145 04 0e00", std::nullopt},
        {"size past the end", "0199 0800 0200 4145 03 0e00", std::nullopt},
        {"earlier record past the end", "5554 ff00 01 0199 0700 0200 4145 03 0e00", std::nullopt},
        {"cut header", "01", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto got = parse_winzip_aes_extra(from_hex(c.hex));
        ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.what;
        if (!got) continue;
        EXPECT_EQ(got->vendor_version, c.expected->vendor_version) << c.what;
        EXPECT_EQ(got->strength, c.expected->strength) << c.what;
        EXPECT_EQ(got->method, c.expected->method) << c.what;
    }
}

// The corpus's BZip2 entry (libarchive's test suite, written by another tool).
TEST(ZipBzip2, CorpusEntry)
{
    const auto path = corpus_dir() / "zip" / "test_read_format_zip_bzip2.zipx";
    if (!corpus_available() || !std::filesystem::exists(path)) GTEST_SKIP() << "no corpus";
    const auto zip = first_zip_entry(read_file(path));
    ASSERT_TRUE(zip.has_value());
    ASSERT_EQ(zip->method, 12);
    std::vector<uint8_t> out;
    VectorSink sink(out);
    SpanSource in(zip->data);
    ASSERT_EQ(decode_method(zip->method, zip->flags, in, sink, zip->uncompressed_size), DecodeStatus::ok);
    EXPECT_EQ(out.size(), zip->uncompressed_size);
    EXPECT_EQ(crc32_update(0, out), zip->crc32);
}
