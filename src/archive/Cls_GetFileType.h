// The format dispatcher: picks the reader for an archive from its name and
// first two bytes, keeps one reader per format (created on first need) and
// forwards every member to the reader of the loaded archive. It owns the
// shared archive state.
#pragma once

#include "archive/ArchiveReader.h"
#include "archive/ArchiveState.h"

#include <array>
#include <memory>
#include <optional>
#include <string_view>

namespace velmora {

// Reader slots, in the dispatcher's order.
// The single compressed files (xz, lzma, bzip2, zstd, compress) come last.
enum class ReaderKind { tar, gzip, zip, cab, arj, lzh, rar, arc, xz, lzma, bzip2, zstd, compress };
inline constexpr size_t reader_kind_count = 13;

// The format's name as the window shows it ("ZIP", "CAB", ...).
std::string_view format_name(ReaderKind kind);

// Creates the reader of one format over the shared state.
std::unique_ptr<ArchiveReader> make_reader(ReaderKind kind, ArchiveState& state);

class Cls_GetFileType final : public ArchiveReader {
public:
    explicit Cls_GetFileType(WindowServices& window);
    Cls_GetFileType(const Cls_GetFileType&) = delete;
    Cls_GetFileType& operator=(const Cls_GetFileType&) = delete;

    ArchiveState& state() { return state_; }
    const ArchiveState& state() const { return state_; }

    // -1 for an empty name, -2 for an unknown signature, else 0; success is
    // PackFileType non-zero afterwards.
    int16_t Get_Contents(const std::string& ZipName) override;
    int16_t UnPack(Selection& ZippedFile, std::string& ToPath) override;
    bool CanUnpack() override;
    int32_t FileCount() override;
    std::string FileName(int32_t FileNum) override;
    std::string CommentsFile(int32_t FileNum) override;
    std::string CommentsPack() override;
    bool IsDir(int32_t FileNum) override;
    std::string Method(int32_t FileNum) override;
    int32_t CRC32(int32_t FileNum) override;
    int64_t Compressed_Size(int32_t FileNum) override;
    int64_t UnCompressed_Size(int32_t FileNum) override;
    bool Encrypted(int32_t FileNum) override;
    DateTime FileDateTime(int32_t FileNum) override;
    std::string SystemMadeBy(int32_t FileNum) override;
    std::string VersionMadeBy(int32_t FileNum) override;
    std::string SystemNeeded(int32_t FileNum) override;
    std::string VersionNeeded(int32_t FileNum) override;
    ExtractBlocker extract_blocker(int32_t FileNum) override;

    // For tests: the reader in a slot (null while empty) and the active one.
    ArchiveReader* slot(ReaderKind kind) const { return slots_[static_cast<size_t>(kind)].get(); }
    ArchiveReader* active_reader() const { return active_; }
    // The format of the loaded archive.
    std::optional<ReaderKind> active_kind() const;

private:
    // Makes the slot's reader active (creating it when empty) and loads
    // ZipName with it. False when a failure escaped the reader: the caller then
    // ends detection at once.
    bool load_with(ReaderKind kind, const std::string& ZipName);

    // Calls fn on the active reader when an archive is loaded; the default
    // result otherwise, or when the reader fails.
    template <typename Result, typename Fn>
    Result forward(Fn fn, Result fallback = Result{});

    ArchiveState state_;
    std::array<std::unique_ptr<ArchiveReader>, reader_kind_count> slots_;
    ArchiveReader* active_ = nullptr;
};

} // namespace velmora
