// Large files are written by a second thread while the decoder goes on: the
// bytes must reach the file whole and in order however the pieces are cut,
// kernel copies must land after what was handed over before them, and a
// write that fails on that thread must fail the file as it does on the
// caller's (the existing file kept, nothing left behind).
#include "archive/HeadlessWindow.h"
#include "archive/OutputFile.h"
#include "archive/PieceWriter.h"
#include "support/TestSupport.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>
#include <unistd.h>

using namespace velmora;
using velmora::test::TempDir;
namespace fs = std::filesystem;

namespace {


bool no_temporary_files(const fs::path& dir)
{
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".velmora-") != std::string::npos)
            return false;
    return true;
}

// Writes `data` cut at the given sizes (cycled), then commits.
OutputStatus write_cut(ArchiveState& state, const std::string& to, const std::string& name,
                       const std::vector<uint8_t>& data, const std::vector<size_t>& cuts)
{
    OutputFile out(state);
    std::string path = to;
    if (out.open(name, path) != OutputStatus::ok)
        return OutputStatus::failed;
    size_t pos = 0;
    for (size_t k = 0; pos < data.size(); ++k) {
        const size_t n = std::min(cuts[k % cuts.size()], data.size() - pos);
        if (!out.write(std::span(data).subspan(pos, n)))
            break;
        pos += n;
    }
    return out.commit(FileStamp{});
}

class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN))
    {
        ::getrlimit(RLIMIT_FSIZE, &old_);
        struct rlimit lower = old_;
        lower.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~ScopedFileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, handler_);
    }

private:
    struct rlimit old_{};
    void (*handler_)(int);
};

struct LargeOutput : ::testing::Test {
    HeadlessWindow window;
    ArchiveState state{window};
    TempDir dir;
    std::string out = (dir / "out").string();
};

} // namespace

TEST(PieceWriter, KeepsTheOrderWhateverThePieceAndWriteSizes)
{
    TempDir dir;
    const auto data = test::random_bytes(200000, 1);
    for (const auto& [piece, pieces] : {std::pair<size_t, size_t>{1, 2}, {7, 2}, {4096, 3}, {65536, 4}}) {
        const fs::path p = dir / ("f" + std::to_string(piece));
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        {
            PieceWriter writer(fd, piece, pieces);
            size_t pos = 0;
            for (size_t n = 1; pos < data.size(); n = n * 3 % 5003 + 1) {
                const size_t take = std::min(n, data.size() - pos);
                ASSERT_TRUE(writer.write(std::span(data).subspan(pos, take)));
                pos += take;
            }
            EXPECT_TRUE(writer.finish());
        }
        ::close(fd);
        EXPECT_EQ(test::read_file(p), data) << "piece size " << piece;
    }
}

TEST_F(LargeOutput, BytesReachTheFileWholeAcrossTheSwitchToTheWritingThread)
{
    const auto data = test::random_bytes((size_t{5} << 20) + 12345, 2);
    const std::vector<std::vector<size_t>> cuts = {{1, 7, 65536}, {size_t{3} << 20}, {1048575, 2}, {data.size()}};
    for (size_t k = 0; k < cuts.size(); ++k) {
        const std::string name = "big" + std::to_string(k) + ".bin";
        ASSERT_EQ(write_cut(state, out, name, data, cuts[k]), OutputStatus::ok) << name;
        EXPECT_EQ(test::read_file(dir / "out" / name), data) << name;
    }
    EXPECT_TRUE(no_temporary_files(dir / "out"));
}

TEST_F(LargeOutput, KernelCopiesLandAfterTheBytesWrittenBeforeThem)
{
    const auto head = test::random_bytes(size_t{3} << 20, 3);
    const auto middle = test::random_bytes(size_t{2} << 20, 4);
    const auto tail = test::random_bytes(777777, 5);
    test::write_file(dir / "source.bin", middle);
    const int source = ::open((dir / "source.bin").c_str(), O_RDONLY);
    ASSERT_GE(source, 0);
    OutputFile file(state);
    std::string to = out;
    ASSERT_EQ(file.open("joined.bin", to), OutputStatus::ok);
    ASSERT_TRUE(file.write(head));
    EXPECT_EQ(file.copy_from(source, 0, middle.size(), [](uint64_t) { return true; }), middle.size());
    ASSERT_TRUE(file.write(tail));
    EXPECT_EQ(file.written(), head.size() + middle.size() + tail.size());
    ASSERT_EQ(file.commit(FileStamp{}), OutputStatus::ok);
    ::close(source);
    std::vector<uint8_t> expected = head;
    expected.insert(expected.end(), middle.begin(), middle.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(test::read_file(dir / "out/joined.bin"), expected);
}

TEST_F(LargeOutput, AFailedWriteOnTheWritingThreadFailsTheFileAndKeepsTheOldOne)
{
    fs::create_directories(dir / "out");
    test::write_file(dir / "out/keep.bin", std::string("precious"));
    const auto data = test::random_bytes(size_t{6} << 20, 6);
    OutputStatus status = OutputStatus::ok;
    {
        // Past the first MiB, so the failure happens on the writing thread.
        ScopedFileSizeLimit limit(size_t{3} << 20);
        status = write_cut(state, out, "keep.bin", data, {100000});
    }
    EXPECT_EQ(status, OutputStatus::failed);
    EXPECT_EQ(test::read_file(dir / "out/keep.bin"), std::vector<uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
    EXPECT_TRUE(no_temporary_files(dir / "out"));
}

TEST_F(LargeOutput, AnAbandonedFileLeavesNothingBehind)
{
    const auto data = test::random_bytes(size_t{4} << 20, 7);
    {
        OutputFile file(state);
        std::string to = out;
        ASSERT_EQ(file.open("gone.bin", to), OutputStatus::ok);
        ASSERT_TRUE(file.write(data));
        // Destroyed without commit while pieces may still be on their way.
    }
    EXPECT_FALSE(fs::exists(dir / "out/gone.bin"));
    EXPECT_TRUE(no_temporary_files(dir / "out"));
}
