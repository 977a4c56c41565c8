// RAR archives: the RAR 1.5-4.x block format (marker "Rar!" 0x1A 0x07 0x00,
// as the RAR technote describes it) and RAR 5.0 (signature "Rar!" 0x1A 0x07
// 0x01 0x00, rarlab's "RAR 5.0 archive format"): listing, and extraction
// with our own decoders (unpack versions 1.5, 2.0, 2.6, 2.9, 5.0, 7.0),
// AES-encrypted data and headers, and entries continued in later volumes.
#pragma once

#include "archive/DateTime.h"
#include "archive/ReaderBase.h"
#include "codecs/ByteStream.h"
#include "formats/catalogue/Rar5Headers.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmora {

class BinaryFile;
class BufferedReader;

// The volume that follows `path` ("x.part1.rar" -> "x.part2.rar", "x.rar" ->
// "x.r00" -> "x.r01"); "" when the name follows neither scheme.
std::string rar_next_volume_name(const std::string& path);

class Cls_Rar final : public ReaderBase {
public:
    explicit Cls_Rar(ArchiveState& state) : ReaderBase(state, true) {}

    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override { return true; }
    // The main header's comment, whatever the number.
    std::string CommentsPack() override;

    // One file header as listed.
    struct Entry {
        uint16_t HeadCRC = 0;
        uint8_t HeadType = 0;
        uint16_t HeadFlags = 0;
        int32_t HeadSize = 0;
        int32_t PackSize = 0;
        int32_t UnpSize = 0;
        uint8_t HostOS = 0;
        uint32_t FileCRC = 0;
        uint32_t FileTime = 0;
        uint16_t DosDate = 0;
        uint16_t DosTime = 0;
        uint8_t UnpVer = 0;
        uint8_t PackMethod = 0;
        uint16_t NameSize = 0;
        uint32_t FileAttr = 0;
        std::string Name;
        std::string Comment;
        int32_t DataPos = 0;
    };

    // The archive (main) header last read, with its comment.
    struct MainHeader {
        uint16_t HeadCRC = 0;
        uint8_t HeadType = 0;
        uint16_t HeadFlags = 0;
        int16_t HeadSize = 0;
        uint16_t Reserved1 = 0;
        uint32_t Reserved2 = 0;
        std::string Comment;
    };

    // Archive-wide facts of the archive listed last.
    struct ArchiveFacts {
        bool rar5 = false;
        bool solid = false;
        bool locked = false;
        bool volume = false;
        bool encrypted_headers = false;
    };
    const ArchiveFacts& archive_facts() const { return facts_; }

private:
    // What extraction needs of one entry, in either format.
    struct DataRecord {
        std::string stored_name;     // as stored, to find the entry's parts in later volumes
        uint64_t data_pos = 0;
        uint64_t pack_size = 0;
        uint64_t unp_size = 0;
        bool unp_size_unknown = false;
        unsigned unp_ver = 0;        // 15, 20, 26, 29, 36; 50 or 70 for RAR 5
        unsigned method = 0;         // 0 stored, 1-5 compressed
        bool solid = false;          // continues the stream of the entry before
        bool dir = false;
        bool split_before = false;
        bool split_after = false;
        std::optional<uint32_t> crc;
        std::optional<std::array<uint8_t, 32>> blake2;
        int32_t unix_mode = -1;
        FileStamp stamp;
        bool encrypted = false;
        std::optional<std::array<uint8_t, 8>> salt;       // RAR 3 encryption
        std::optional<rar5::encryption_info> rar5_crypt;  // RAR 5 encryption
        uint64_t dictionary = 0;
        bool extended_distances = false;
        std::optional<rar5::redirection_info> redirection;
    };
    struct UnpackRun;
    class Decoders;

    struct BaseHeader {
        uint64_t start = 0;
        uint16_t HeadCRC = 0;
        uint8_t HeadType = 0;
        uint16_t HeadFlags = 0;
        uint16_t HeadSize = 0;
    };
    // Where the walk goes next; nullopt ends it.
    using Next = std::optional<uint64_t>;

    void walk(BufferedReader& in, const BinaryFile& file);
    // RAR 2.9-4.x archives with encrypted headers (-hp): the blocks after
    // the main header, decrypted with the password asked for here.
    void walk_encrypted(const BinaryFile& file, uint64_t pos);
    Next read_main_header(BufferedReader& in, const BaseHeader& h);
    Next read_file_header(BufferedReader& in, const BaseHeader& h);
    static ListedEntry listed_of(const Entry& e);
    static DataRecord rar4_record(const Entry& e, uint64_t pack_high, uint64_t unp_high, std::span<const uint8_t> name);
    void build_listing();

    // RAR 5.
    void list_rar5(const BinaryFile& file);
    bool ask_header_password(const BinaryFile& file, rar5::listing& l);
    void add_rar5_record(const rar5::record& r);
    std::string rar5_comment(const BinaryFile& file, const rar5::listing& l);

    // Extraction.
    enum class KeyResult { ok, no_password, wrong_password };
    enum class SourceResult { ok, missing_volume, no_password, wrong_password };
    void extract(int32_t k, UnpackRun& u);
    KeyResult entry_key(const DataRecord& d, UnpackRun& u, std::vector<uint8_t>& key, std::array<uint8_t, 16>& iv);
    SourceResult open_source(int32_t k, UnpackRun& u, std::unique_ptr<ByteSource>& source, const DataRecord*& last);
    DecodeStatus decode_entry(const DataRecord& d, UnpackRun& u, ByteSource& source, ByteSink& sink);
    void extract_link(int32_t k, UnpackRun& u);
    void skip_through(int32_t k, UnpackRun& u);

    std::vector<Entry> entries_ = std::vector<Entry>(1);
    std::optional<MainHeader> main_header_;
    std::vector<DataRecord> records_;  // entry k at index k - 1
    ArchiveFacts facts_;
    std::string password_;             // given for encrypted headers, tried first on the data
};

} // namespace velmora
