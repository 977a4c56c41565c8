// Small extracted files put on disk by a second thread: while the run decodes
// the next entry, this one creates the file, writes it, stamps it and renames
// it into place. Only whole, decoded entries are handed over (a bounded amount
// of memory at a time); what became of each comes back as a result the run
// reads on its own thread.
#pragma once

#include "archive/OutputFile.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora {

class BackgroundWriter {
public:
    struct Job {
        int folder_fd = -1; // owned by the job: closed when it is done
        std::string leaf;
        std::vector<uint8_t> data;
        bool stamped = false;  // false: the file keeps the time of writing
        int64_t seconds = 0;   // modification time (Unix)
        uint32_t nanoseconds = 0;
        int32_t mode = -1;     // as OutputFile::open takes it
        bool checked = true;   // the data passed its checks
        bool overwrite = true; // "Overwrite Existing Files"
        int32_t entry = 0;
    };
    struct Result {
        int32_t entry;
        OutputStatus status;
        bool checked;
    };

    // max_bytes: how much data may wait at once; submit blocks beyond it.
    explicit BackgroundWriter(size_t max_bytes = size_t{32} << 20);
    // How many jobs may wait at once (each keeps a descriptor open).
    static constexpr size_t max_queued_jobs = 256;
    // Writes what is queued, then stops.
    ~BackgroundWriter();
    BackgroundWriter(const BackgroundWriter&) = delete;
    BackgroundWriter& operator=(const BackgroundWriter&) = delete;

    void submit(Job job);
    // Waits until every job handed over so far is done.
    void drain();
    // The results of the jobs done since the last call, in order.
    std::vector<Result> take_results();
    // An empty buffer of a written job with room for `size` bytes, or an
    // empty vector when none is spare. Buffers are kept for the next entries
    // (a bounded number of bytes of them): fresh memory costs a page fault
    // per 4 KiB as it is first written, which is most of the cost of copying
    // a small entry.
    std::vector<uint8_t> spare_buffer(size_t size);

    // The file of one job, on the calling thread: temporary file, data, time
    // stamp, rename under the overwrite rule. The folder descriptor is not
    // closed here.
    static OutputStatus place(const Job& job);

private:
    void work();

    const size_t max_bytes_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Job> queue_;
    std::vector<Result> results_;
    std::vector<std::vector<uint8_t>> spare_;
    size_t spare_bytes_ = 0;
    size_t queued_bytes_ = 0;
    size_t busy_ = 0; // jobs taken but not finished
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace velmora
