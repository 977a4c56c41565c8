// Where an entry's decoded bytes go: the CRC-32 and the size are taken on
// the way, the bytes are written to the entry's output file (when it has
// one), and the run's progress and cancel are served. A write past the
// entry's limit, a failed write or a confirmed cancel stops the decoder.
#pragma once

#include "archive/Cls_CRC32.h"
#include "archive/ExtractionRun.h"
#include "archive/FileRangeSource.h"
#include "archive/OutputFile.h"
#include "codecs/ByteStream.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velmora {

class EntrySink final : public ByteSink {
public:
    // expected: the entry's size as listed (for progress; 0 when unknown).
    // limit: the most bytes accepted.
    EntrySink(ExtractionRun& run, OutputFile* out, uint64_t expected, uint64_t limit = UINT64_MAX)
        : run_(run), out_(out), expected_(expected), limit_(limit)
    {
    }

    bool write(std::span<const uint8_t> data) override
    {
        if (data.size() > limit_ - size_) {
            over_limit_ = true;
            return false;
        }
        if (keep_crc_)
            crc_ = crc32_update(crc_, data);
        size_ += data.size();
        if (out_ && !out_->write(data)) {
            write_failed_ = true;
            return false;
        }
        if (memory_)
            memory_->insert(memory_->end(), data.begin(), data.end());
        const bool going = input_ ? run_.progress(input_->position(), input_total_) : run_.progress(size_, expected_);
        if (!going) {
            cancelled_ = true;
            return false;
        }
        return true;
    }

    // Progress by how far the decoder has read into `source` of `total`
    // bytes, for entries whose output size is not known beforehand.
    void track_input(const FileRangeSource& source, uint64_t total)
    {
        input_ = &source;
        input_total_ = total;
    }
    // The bytes are also kept in `memory` (a small entry bound for the
    // writer thread), room for the whole entry taken at once: grown piece by
    // piece, it would be copied and its fresh pages faulted in again at
    // every doubling.
    void keep_in(std::vector<uint8_t>* memory)
    {
        memory_ = memory;
        const auto room = static_cast<size_t>(std::min(expected_, ExtractionRun::background_entry_limit));
        if (memory_->capacity() < room)
            *memory_ = run_.entry_buffer(room);
        memory_->clear();
    }

    // No CRC-32 is kept: the format checks its data by other means (the
    // compressed files' own checks, a cabinet's block checksums).
    void without_crc() { keep_crc_ = false; }

    // The CRC-32 starts again (the next member of a multi-member stream).
    void start_part() { crc_ = 0; }

    // The CRC-32 of the bytes since the start, or since start_part().
    uint32_t crc() const { return crc_; }
    uint64_t size() const { return size_; }
    bool over_limit() const { return over_limit_; }
    bool write_failed() const { return write_failed_; }
    bool cancelled() const { return cancelled_; }

    // After the decoder returns: true when Cancel or a failed write ended
    // entry k, whose outcome is then recorded (a failed write shown as
    // `write_error_text` first).
    bool ended_by_run(int32_t k, std::string_view write_error_text)
    {
        if (cancelled_) {
            run_.report().skipped(k, OutcomeReason::cancelled);
            return true;
        }
        if (write_failed_) {
            run_.message(write_error_text);
            run_.report().failed(k, OutcomeReason::write_error);
            return true;
        }
        return false;
    }

private:
    ExtractionRun& run_;
    OutputFile* out_;
    uint64_t expected_;
    uint64_t limit_;
    const FileRangeSource* input_ = nullptr;
    std::vector<uint8_t>* memory_ = nullptr;
    uint64_t input_total_ = 0;
    uint64_t size_ = 0;
    uint32_t crc_ = 0;
    bool keep_crc_ = true;
    bool over_limit_ = false;
    bool write_failed_ = false;
    bool cancelled_ = false;
};

} // namespace velmora
