// How a stream goes through Bzip2BlockDecoder:
// - The calling thread reads the input into a window and finds the next
//   block magic or end magic after each block's start. The block's bits,
//   shifted to a byte boundary, become a stream of their own: "BZh" and the
//   real level, the block, the end magic and the block's own CRC as the
//   combined CRC (for one block they are equal).
// - A block counts only when libbz2 decodes that stream whole and ends
//   exactly at its last byte: then its bits are a complete block whose CRC
//   held, and the real stream has a magic right after it, so plain libbz2
//   would have decoded the same bytes there. Its output is handed on only
//   then, in stream order; the combined CRC is checked here.
// - Otherwise (or when no cut can be made: no magic within the largest
//   block of the level, input cut short), libbz2 takes the rest of the
//   stream as one stream from the failing block's start, behind a made-up
//   first block (Bzip2ResumePrefix) that gives it the combined CRC so far;
//   when nothing of the stream has been handed on yet, from the stream's
//   own start. A stream of one block goes that way from the outset.
// - The first block of each stream is decoded and handed on before the next
//   one is read, so a sink that stops early stops the reading early too;
//   the worker threads start with the second block.
// - A block stops decoding once its output passes what the caller's limit
//   leaves, and is then taken like a failed cut (libbz2 reaches the limit
//   the same way); output thrown away is counted, see waste_allowance.
#include "codecs/Bzip2BlockDecoder.h"

#include <bzlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "codecs/Bzip2BlockScanner.h"
#include "codecs/Bzip2ResumePrefix.h"
#include "codecs/StreamBuffers.h"

namespace velmora {

namespace {

using Scanner = Bzip2BlockScanner;

// A block's output is held until the block has been checked; a block that
// gives more (long runs of one byte) is checked first and then decoded a
// second time straight into the sink.
constexpr size_t job_output_capacity = size_t{4} << 20;
// Output per libbz2 call on a worker: how soon it sees a request to stop.
constexpr size_t decode_slice = size_t{1} << 20;
constexpr size_t read_piece = size_t{128} << 10;
// Output decoded for blocks that were then thrown away (cuts that did not
// hold, blocks behind them): past this much more than the output handed on,
// the rest of the input goes through libbz2 whole. A made-up cut can cost a
// block's full output (46 MB of runs from a few bytes) and a file can hold
// many streams; this keeps all work in proportion to input and output.
constexpr uint64_t waste_allowance = uint64_t{64} << 20;
constexpr size_t max_block_bytes = Scanner::max_block_bits(9) / 8 + 64;
static_assert(job_output_capacity <= UINT_MAX && decode_slice <= UINT_MAX && max_block_bytes <= UINT_MAX,
              "libbz2 counts in unsigned int");

// libbz2 allocates its tables (about 3.6 MiB for 900k blocks) for every
// stream; since every block is a stream here, the allocations are kept and
// handed out again.
class bz_memory {
public:
    bz_memory() = default;
    bz_memory(const bz_memory&) = delete;
    bz_memory& operator=(const bz_memory&) = delete;
    ~bz_memory()
    {
        for (auto& p : pieces_) std::free(p.ptr);
    }
    static void* allocate(void* opaque, int items, int size)
    {
        return static_cast<bz_memory*>(opaque)->get(static_cast<size_t>(items) * static_cast<size_t>(size));
    }
    static void release(void* opaque, void* ptr) { static_cast<bz_memory*>(opaque)->put(ptr); }

private:
    struct Piece {
        void* ptr = nullptr;
        size_t size = 0;
        bool used = false;
    };
    void* get(size_t size)
    {
        for (auto& p : pieces_)
            if (!p.used && p.ptr && p.size == size) {
                p.used = true;
                return p.ptr;
            }
        for (auto& p : pieces_)
            if (!p.used) {
                std::free(p.ptr);
                p = {std::malloc(size), size, true};
                if (!p.ptr) p = {};
                return p.ptr;
            }
        return std::malloc(size);
    }
    void put(void* ptr)
    {
        for (auto& p : pieces_)
            if (p.ptr == ptr) {
                p.used = false;
                return;
            }
        std::free(ptr);
    }
    std::array<Piece, 4> pieces_{};
};

// One libbz2 decompression state at a time, over a bz_memory.
class bz_session {
public:
    bz_session() = default;
    bz_session(const bz_session&) = delete;
    bz_session& operator=(const bz_session&) = delete;
    ~bz_session() { end(); }
    bool start()
    {
        end();
        std::memset(&strm, 0, sizeof strm);
        strm.bzalloc = &bz_memory::allocate;
        strm.bzfree = &bz_memory::release;
        strm.opaque = &memory_;
        open_ = BZ2_bzDecompressInit(&strm, 0, 0) == BZ_OK;
        return open_;
    }
    void end()
    {
        if (open_) BZ2_bzDecompressEnd(&strm);
        open_ = false;
    }
    void set_input(const uint8_t* data, size_t size)
    {
        strm.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(data));
        strm.avail_in = static_cast<unsigned>(size);
    }
    void set_output(uint8_t* data, size_t size)
    {
        strm.next_out = reinterpret_cast<char*>(data);
        strm.avail_out = static_cast<unsigned>(size);
    }
    bz_stream strm{};

private:
    bz_memory memory_;
    bool open_ = false;
};

struct Job {
    enum class State { free, queued, running, done };
    // whole: the output is all in the buffer; large: it did not fit, but
    // the stream decoded whole; past_limit: it gave more than the caller's
    // limit leaves room for (checked or not, the decoder goes on without it).
    enum class Result { whole, large, past_limit, failed };

    std::vector<uint8_t> stream;  // the block as a stream of its own
    uint64_t start = 0;           // bit of the block magic in the input
    uint64_t cut = 0;             // bit of the next magic
    bool last = false;            // the next magic is the end of the stream
    uint32_t block_crc = 0;
    uint32_t stored_combined = 0; // after the end magic, when last
    std::unique_ptr<uint8_t[]> out;
    size_t out_size = 0;
    uint64_t limit = UINT64_MAX; // the most output that could be handed on
    uint64_t decoded = 0;        // output made, kept or not
    State state = State::free;
    Result result = Result::failed;
    std::atomic<bool> abort{false};
};

// Decodes a job's stream into its output buffer.
void run_job(Job& job, bz_session& bz)
{
    job.out_size = 0;
    job.decoded = 0;
    job.result = Job::Result::failed;
    if (!bz.start()) return;
    bz.set_input(job.stream.data(), job.stream.size());
    bool large = false;
    for (;;) {
        if (job.abort.load(std::memory_order_relaxed)) break;
        // Once the buffer is full the rest of the output is only counted:
        // it goes over the start of the buffer again.
        const size_t at = large ? 0 : job.out_size;
        const size_t room = std::min(job_output_capacity - at, decode_slice);
        bz.set_output(job.out.get() + at, room);
        const unsigned in_before = bz.strm.avail_in;
        const int r = BZ2_bzDecompress(&bz.strm);
        const size_t made = room - bz.strm.avail_out;
        if (!large) job.out_size += made;
        job.decoded += made;
        if (job.decoded > job.limit) {
            job.result = Job::Result::past_limit;
            break;
        }
        if (r == BZ_STREAM_END) {
            if (bz.strm.avail_in == 0) job.result = large ? Job::Result::large : Job::Result::whole;
            break;
        }
        if (r != BZ_OK || (made == 0 && bz.strm.avail_in == in_before)) break;
        if (job.out_size == job_output_capacity) large = true;
    }
    bz.end();
}

constexpr uint32_t rotl1(uint32_t v) { return v << 1 | v >> 31; }

} // namespace

struct Bzip2BlockDecoder::Impl {
    Impl(bool single_stream, unsigned worker_count)
        : single(single_stream), workers(worker_count), slots(worker_count + 2)
    {
    }
    ~Impl() { stop_crew(); }

    const bool single;
    const unsigned workers;
    const size_t slots;

    // Input: bytes [window_base, window_base + window_len) of the source.
    ByteSource* source = nullptr;
    std::vector<uint8_t> window;
    uint64_t window_base = 0;
    size_t window_len = 0;
    bool source_ended = false;

    ByteSink* sink = nullptr;
    OutputBuffer out;
    uint64_t out_limit = UINT64_MAX;
    uint64_t wasted = 0;
    bool splitting = true;
    bz_session bz; // the calling thread's

    // The stream being decoded.
    uint64_t stream_start = 0; // byte
    bool first_stream = true;
    char level = '9';
    uint64_t next_start = 0;  // bit: the first block not cut yet
    uint64_t scan_resume = 0; // bit: where the search for its end goes on
    uint32_t combined = 0;
    unsigned blocks_emitted = 0;
    bool cutting_done = false;
    bool cut_failed = false;

    // Blocks in flight, in stream order; workers take the first queued one.
    std::vector<std::unique_ptr<Job>> pool;
    std::deque<Job*> ring;
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable job_done;
    bool quit = false;
    std::vector<std::thread> crew;

    std::vector<uint8_t> prefix;

    DecodeStatus decode(ByteSource& in, ByteSink& sink_, uint64_t limit);
    std::optional<DecodeStatus> decode_stream(uint64_t& next_stream);
    std::optional<DecodeStatus> resume(uint64_t from_bit, uint64_t& next_stream);
    std::optional<DecodeStatus> emit_whole(const Job& job);
    std::optional<DecodeStatus> emit_large(const Job& job);
    std::optional<DecodeStatus> finish(DecodeStatus s) { return out.finish(*sink, s); }

    enum class Cut { made, one_block, impossible };
    Cut cut_next(Job& job);

    // The window.
    uint64_t end_byte() const { return window_base + window_len; }
    const uint8_t* at(uint64_t byte) const { return window.data() + (byte - window_base); }
    bool fill(uint64_t keep_from);
    uint64_t keep_from() const
    {
        if (blocks_emitted == 0) return stream_start;
        return (ring.empty() ? next_start : ring.front()->start) / 8;
    }
    // n <= 57 bits of the input at an absolute bit position; bits past the
    // window's end read as 0 (callers make sure the ones they use are there).
    uint64_t peek_bits(uint64_t bit, unsigned n) const
    {
        uint8_t b[8] = {};
        const uint64_t first = bit / 8;
        for (uint64_t i = 0; i < 8 && first + i < end_byte(); ++i) b[i] = *at(first + i);
        return read_bits_msb(b, bit % 8, n);
    }

    // The jobs and the crew.
    Job* free_job();
    Job* first_queued()
    {
        for (Job* j : ring)
            if (j->state == Job::State::queued) return j;
        return nullptr;
    }
    void start_crew();
    void stop_crew();
    void abort_jobs();
    void worker();
};

bool Bzip2BlockDecoder::Impl::fill(uint64_t keep)
{
    if (source_ended) return false;
    if (keep > window_base) {
        const size_t drop = static_cast<size_t>(std::min<uint64_t>(keep - window_base, window_len));
        std::memmove(window.data(), window.data() + drop, window_len - drop);
        window_len -= drop;
        window_base += drop;
    }
    if (window.size() - window_len < read_piece) {
        // Room for the blocks in flight and the one being cut; never more.
        const size_t most = (slots + 1) * max_block_bytes + 2 * read_piece;
        if (window.size() < most) window.resize(std::min(most, std::max(window.size() * 2, window_len + read_piece)));
        if (window.size() == window_len) return false;
    }
    const size_t n = source->read(std::span(window.data() + window_len, window.size() - window_len));
    if (n == 0) {
        source_ended = true;
        return false;
    }
    window_len += n;
    return true;
}

Job* Bzip2BlockDecoder::Impl::free_job()
{
    for (auto& j : pool)
        if (j->state == Job::State::free) return j.get();
    if (pool.size() >= slots) return nullptr;
    auto job = std::make_unique<Job>();
    size_t capacity = 0;
    job->out = allocate_bytes(job_output_capacity, capacity);
    if (!job->out) return nullptr;
    pool.push_back(std::move(job));
    return pool.back().get();
}

void Bzip2BlockDecoder::Impl::worker()
{
    bz_session own;
    std::unique_lock lock(mutex);
    for (;;) {
        Job* job = nullptr;
        work_ready.wait(lock, [&] { return quit || (job = first_queued()) != nullptr; });
        if (quit) return;
        job->state = Job::State::running;
        lock.unlock();
        run_job(*job, own);
        lock.lock();
        job->state = Job::State::done;
        job_done.notify_all();
    }
}

void Bzip2BlockDecoder::Impl::start_crew()
{
    if (!crew.empty() || workers == 0) return;
    for (unsigned i = 0; i < workers; ++i) {
        try {
            crew.emplace_back([this] { worker(); });
        } catch (...) {
            break; // fewer threads (or none: the calling thread decodes every block)
        }
    }
}

void Bzip2BlockDecoder::Impl::abort_jobs()
{
    std::unique_lock lock(mutex);
    for (Job* j : ring) j->abort = true;
    job_done.wait(lock, [&] {
        return std::none_of(ring.begin(), ring.end(), [](const Job* j) { return j->state == Job::State::running; });
    });
    for (Job* j : ring) {
        if (j->state == Job::State::done) wasted += j->decoded;
        j->state = Job::State::free;
    }
    ring.clear();
}

void Bzip2BlockDecoder::Impl::stop_crew()
{
    {
        std::lock_guard lock(mutex);
        quit = true;
        for (Job* j : ring) j->abort = true;
    }
    work_ready.notify_all();
    for (auto& t : crew) t.join();
    crew.clear();
    quit = false;
    for (Job* j : ring) j->state = Job::State::free;
    ring.clear();
}

DecodeStatus Bzip2BlockDecoder::Impl::decode(ByteSource& in, ByteSink& sink_, uint64_t limit)
{
    source = &in;
    sink = &sink_;
    window_base = 0;
    window_len = 0;
    source_ended = false;
    out_limit = limit;
    wasted = 0;
    splitting = true;
    if (!out.allocate()) return DecodeStatus::no_memory;
    out.start(limit);
    try {
        if (window.size() < 2 * read_piece) window.resize(2 * read_piece);
        struct crew_guard {
            Impl& impl;
            ~crew_guard() { impl.stop_crew(); }
        } guard{*this};
        first_stream = true;
        uint64_t start = 0;
        for (;;) {
            stream_start = start;
            if (auto s = decode_stream(start)) return *s;
            if (single) return out.finish(*sink, DecodeStatus::ok);
            if (start >= end_byte() && !fill(start)) return out.finish(*sink, DecodeStatus::ok);
            first_stream = false;
        }
    } catch (const std::bad_alloc&) {
        return DecodeStatus::no_memory;
    } catch (...) {
        // std::system_error from a mutex: nothing else throws here.
        return DecodeStatus::no_memory;
    }
}

std::optional<DecodeStatus> Bzip2BlockDecoder::Impl::decode_stream(uint64_t& next_stream)
{
    blocks_emitted = 0;
    combined = 0;
    cutting_done = false;
    cut_failed = false;
    // "BZh", the level '1'-'9', and a block magic; anything else (an empty
    // stream, trailing junk, a cut header) is left to libbz2 as it stands.
    if (!splitting) return resume(stream_start * 8, next_stream);
    while (end_byte() < stream_start + 10 && fill(stream_start)) {
    }
    if (end_byte() < stream_start + 10 || std::memcmp(at(stream_start), "BZh", 3) != 0 || *at(stream_start + 3) < '1' ||
        *at(stream_start + 3) > '9' || peek_bits(stream_start * 8 + 32, 48) != Scanner::block_magic)
        return resume(stream_start * 8, next_stream);
    level = static_cast<char>(*at(stream_start + 3));
    next_start = stream_start * 8 + 32;
    scan_resume = next_start + 80;

    for (;;) {
        Job* head = ring.empty() ? nullptr : ring.front();
        bool head_done = false;
        if (head) {
            std::lock_guard lock(mutex);
            head_done = head->state == Job::State::done;
        }
        if (head_done) {
            if (head->result == Job::Result::failed || head->result == Job::Result::past_limit) {
                abort_jobs();
                if (wasted > out.total() + waste_allowance) splitting = false;
                return resume(head->start, next_stream);
            }
            if (auto s = head->result == Job::Result::whole ? emit_whole(*head) : emit_large(*head)) return s;
            combined = rotl1(combined) ^ head->block_crc;
            ++blocks_emitted;
            {
                std::lock_guard lock(mutex);
                head->state = Job::State::free;
                ring.pop_front();
            }
            if (head->last) {
                if (combined != head->stored_combined) return finish(DecodeStatus::data_error);
                next_stream = (head->cut + 80 + 7) / 8;
                return std::nullopt;
            }
            continue;
        }
        if (!cutting_done && ring.size() < slots && (blocks_emitted > 0 || ring.empty())) {
            Job* job = free_job();
            if (!job) return finish(DecodeStatus::no_memory);
            switch (cut_next(*job)) {
            case Cut::made:
                if (blocks_emitted > 0) start_crew();
                // Whatever comes before it, the caller takes no more than this.
                job->limit = out_limit - std::min(out_limit, out.total());
                {
                    std::lock_guard lock(mutex);
                    job->abort = false;
                    job->state = Job::State::queued;
                    ring.push_back(job);
                }
                work_ready.notify_one();
                cutting_done = job->last;
                break;
            case Cut::one_block: return resume(next_start, next_stream);
            case Cut::impossible:
                cutting_done = true;
                cut_failed = true;
                break;
            }
            continue;
        }
        if (cut_failed && ring.empty()) return resume(next_start, next_stream);
        Job* mine = nullptr;
        {
            std::unique_lock lock(mutex);
            mine = first_queued();
            if (mine) {
                mine->state = Job::State::running;
            } else if (!head) {
                return finish(DecodeStatus::data_error); // no block in flight and none to cut: cannot happen
            } else {
                job_done.wait(lock, [&] { return head->state == Job::State::done; });
                continue;
            }
        }
        run_job(*mine, bz);
        std::lock_guard lock(mutex);
        mine->state = Job::State::done;
    }
}

Bzip2BlockDecoder::Impl::Cut Bzip2BlockDecoder::Impl::cut_next(Job& job)
{
    const uint64_t start = next_start;
    const uint64_t limit = start + Scanner::max_block_bits(static_cast<unsigned>(level - '0'));
    Scanner::Match match{};
    for (;;) {
        const uint64_t base = window_base * 8;
        uint64_t resume_at = 0;
        if (Scanner::find(window.data(), window_len, scan_resume - base, limit - base, match, resume_at)) {
            match.bit += base;
            break;
        }
        scan_resume = resume_at + base;
        if (scan_resume >= limit || !fill(keep_from())) return Cut::impossible;
    }
    const uint64_t cut = match.bit;
    const bool last = match.kind == Scanner::Kind::end;
    if (last) {
        // The combined CRC after the end magic must be there.
        while (end_byte() * 8 < cut + 80)
            if (!fill(keep_from())) return Cut::impossible;
        if (blocks_emitted == 0 && ring.empty()) return Cut::one_block;
        job.stored_combined = static_cast<uint32_t>(peek_bits(cut + 48, 32));
    }
    job.start = start;
    job.cut = cut;
    job.last = last;
    job.block_crc = static_cast<uint32_t>(peek_bits(start + 48, 32));
    job.stream.assign({'B', 'Z', 'h', static_cast<uint8_t>(level)});
    job.stream.reserve(4 + (cut - start) / 8 + 12);
    unsigned used = append_bits(job.stream, window.data(), start - window_base * 8, cut - start);
    used = put_bits(job.stream, used, Scanner::end_magic, 48);
    put_bits(job.stream, used, job.block_crc, 32);
    next_start = cut;
    scan_resume = cut + 80;
    return Cut::made;
}

std::optional<DecodeStatus> Bzip2BlockDecoder::Impl::emit_whole(const Job& job)
{
    for (size_t pos = 0; pos < job.out_size;) {
        const size_t n = std::min(out.space_size(), job.out_size - pos);
        std::memcpy(out.space(), job.out.get() + pos, n);
        out.produced(n);
        pos += n;
        if (out.over_limit()) return finish(DecodeStatus::output_limit);
        if (out.full() && !out.flush(*sink)) return DecodeStatus::stopped;
    }
    return std::nullopt;
}

std::optional<DecodeStatus> Bzip2BlockDecoder::Impl::emit_large(const Job& job)
{
    // The block decoded whole once already; this time straight to the sink.
    if (!bz.start()) return finish(DecodeStatus::no_memory);
    bz.set_input(job.stream.data(), job.stream.size());
    for (;;) {
        const size_t room = out.space_size();
        bz.set_output(out.space(), room);
        const unsigned in_before = bz.strm.avail_in;
        const int r = BZ2_bzDecompress(&bz.strm);
        const size_t made = room - bz.strm.avail_out;
        out.produced(made);
        if (out.over_limit()) return finish(DecodeStatus::output_limit);
        if (r == BZ_STREAM_END && bz.strm.avail_in == 0) return std::nullopt;
        if (r != BZ_OK || (made == 0 && bz.strm.avail_in == in_before)) return finish(DecodeStatus::data_error);
        if (out.full() && !out.flush(*sink)) return DecodeStatus::stopped;
    }
}

std::optional<DecodeStatus> Bzip2BlockDecoder::Impl::resume(uint64_t from_bit, uint64_t& next_stream)
{
    // Nothing of the stream handed on yet: libbz2 takes it from its start,
    // as the sequential decoder does. Otherwise from the block at from_bit.
    const bool whole_stream = blocks_emitted == 0;
    size_t prefix_pos = 0;
    unsigned skip = 0;
    uint64_t feed = stream_start;
    prefix.clear();
    if (!whole_stream) {
        const auto bit_in_byte = static_cast<unsigned>(from_bit % 8);
        if (!Bzip2ResumePrefix::build(level, combined, bit_in_byte, prefix)) return finish(DecodeStatus::no_memory);
        skip = Bzip2ResumePrefix::output_bytes;
        feed = from_bit / 8;
        if (bit_in_byte != 0) {
            prefix.back() = static_cast<uint8_t>(prefix.back() | (*at(feed) & (0xFF >> bit_in_byte)));
            feed += 1;
        }
    }
    if (!bz.start()) return finish(DecodeStatus::no_memory);
    std::array<uint8_t, Bzip2ResumePrefix::output_bytes> dropped{};
    for (;;) {
        const bool in_prefix = prefix_pos < prefix.size();
        if (!in_prefix && feed >= end_byte()) fill(feed);
        const uint8_t* next = in_prefix ? prefix.data() + prefix_pos : at(std::min(feed, end_byte()));
        const size_t avail = in_prefix ? prefix.size() - prefix_pos
                                       : static_cast<size_t>(std::min<uint64_t>(end_byte() - std::min(feed, end_byte()),
                                                                                 size_t{1} << 30));
        bz.set_input(next, avail);
        const size_t room = skip > 0 ? skip : out.space_size();
        bz.set_output(skip > 0 ? dropped.data() + (dropped.size() - skip) : out.space(), room);
        const int r = BZ2_bzDecompress(&bz.strm);
        const size_t used = avail - bz.strm.avail_in;
        const size_t made = room - bz.strm.avail_out;
        if (in_prefix)
            prefix_pos += used;
        else
            feed += used;
        if (skip > 0)
            skip -= static_cast<unsigned>(made);
        else
            out.produced(made);

        if (out.over_limit()) return finish(DecodeStatus::output_limit);
        switch (r) {
        case BZ_OK:
            // No progress: libbz2 has taken all it was given and wants more.
            if (used == 0 && made == 0 && (in_prefix || !fill(feed)))
                return finish(source_ended ? DecodeStatus::truncated : DecodeStatus::data_error);
            break;
        case BZ_STREAM_END:
            next_stream = feed;
            return std::nullopt;
        case BZ_DATA_ERROR_MAGIC:
            return finish(whole_stream && !first_stream ? DecodeStatus::ok : DecodeStatus::data_error);
        case BZ_MEM_ERROR: return finish(DecodeStatus::no_memory);
        default: return finish(DecodeStatus::data_error);
        }
        if (out.full() && !out.flush(*sink)) return DecodeStatus::stopped;
    }
}

Bzip2BlockDecoder::Bzip2BlockDecoder(bool single_stream, unsigned workers)
    : impl_(std::make_unique<Impl>(single_stream, workers))
{
}

Bzip2BlockDecoder::~Bzip2BlockDecoder() = default;

DecodeStatus Bzip2BlockDecoder::decode(ByteSource& in, ByteSink& out, uint64_t out_limit)
{
    return impl_->decode(in, out, out_limit);
}

} // namespace velmora
