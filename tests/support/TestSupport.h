// Helpers shared by the core tests: a temporary folder removed at the end of a
// test, paths of the shared corpus and the repository's fixtures, running
// archive-probe, and reading files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::filesystem::path corpus_dir();                    // the shared corpus
std::filesystem::path data_dir();                      // tests/data
bool corpus_available();

std::vector<uint8_t> read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const std::vector<uint8_t>& bytes);
void write_file(const std::filesystem::path& p, const std::string& text);
// n bytes from a Mersenne Twister seeded with `seed`: the same bytes on every run.
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);

// Runs a shell command; returns its exit status and, optionally, its output.
int run_command(const std::string& command, std::string* output = nullptr);
bool have_tool(const std::string& name);
std::string shell_quote(const std::string& s);
std::string probe_path();

} // namespace velmora::test
