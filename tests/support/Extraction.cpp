// Shared extraction test helpers.
#include "support/Extraction.h"

#include <ctime>

namespace velmora::test {

std::map<std::string, std::string> tree_of(const std::filesystem::path& root)
{
    std::map<std::string, std::string> out;
    if (!std::filesystem::exists(root))
        return out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = e.path().lexically_relative(root).string();
        if (e.is_symlink())
            out[rel] = "->" + std::filesystem::read_symlink(e.path()).string();
        else if (e.is_directory())
            out[rel + "/"] = "";
        else {
            const auto bytes = read_file(e.path());
            out[rel] = std::string(bytes.begin(), bytes.end());
        }
    }
    return out;
}

std::string file_text(const std::filesystem::path& p)
{
    const auto bytes = read_file(p);
    return std::string(bytes.begin(), bytes.end());
}

struct stat stat_of(const std::filesystem::path& p)
{
    struct stat st{};
    ::lstat(p.c_str(), &st);
    return st;
}

mode_t current_umask()
{
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

DateTime local_dos_time(int64_t unix_time)
{
    const auto t = static_cast<std::time_t>(unix_time);
    std::tm tm{};
    localtime_r(&t, &tm);
    DateTime d{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec / 2 * 2};
    if (d.year < 1980)
        return {1980, 1, 1, 0, 0, 0};
    if (d.year > 2107)
        return {2107, 12, 31, 23, 59, 58};
    return d;
}

int64_t mtime_of(const std::filesystem::path& p)
{
    struct stat st{};
    return ::stat(p.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name)
{
    if (const char* v = std::getenv(name))
        old_ = v;
    ::setenv(name, value.c_str(), 1);
    ::tzset();
}

ScopedEnv::~ScopedEnv()
{
    if (old_)
        ::setenv(name_.c_str(), old_->c_str(), 1);
    else
        ::unsetenv(name_.c_str());
    ::tzset();
}

} // namespace velmora::test
