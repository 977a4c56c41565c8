// unar (The Unarchiver) and bsdtar (libarchive) as reference decoders of the
// RAR tests: one entry written to standard output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace velmora::test {

inline bool have_unar() { return have_tool("unar") && have_tool("lsar"); }

// The bytes unar extracts for entry `index` (as lsar numbers them), or
// nothing when unar reports a failure.
inline std::optional<std::vector<uint8_t>> unar_entry(const std::filesystem::path& archive, unsigned index)
{
    std::string out;
    const int rc = run_command("unar -q -o - -i " + shell_quote(archive.string()) + " " + std::to_string(index)
                                   + " 2>/dev/null",
                               &out);
    if (rc != 0)
        return std::nullopt;
    return std::vector<uint8_t>(out.begin(), out.end());
}

inline bool have_bsdtar() { return have_tool("bsdtar"); }

// The bytes bsdtar extracts for the entry named `name` (nothing on failure).
inline std::optional<std::vector<uint8_t>> bsdtar_entry(const std::filesystem::path& archive, const std::string& name)
{
    std::string out;
    if (run_command("bsdtar -xOf " + shell_quote(archive.string()) + " " + shell_quote(name) + " 2>/dev/null", &out) != 0)
        return std::nullopt;
    return std::vector<uint8_t>(out.begin(), out.end());
}

// lsar's JSON listing of an archive ("" when lsar fails).
inline std::string lsar_json(const std::filesystem::path& archive)
{
    std::string out;
    if (run_command("lsar -j " + shell_quote(archive.string()) + " 2>/dev/null", &out) != 0)
        return {};
    return out;
}

// Every entry of an archive extracted by unar (with a password when given)
// into `dir`, as one tree without an enclosing folder. Entries unar cannot
// decode are left as empty files or missing.
inline void unar_extract_all(const std::filesystem::path& archive, const std::filesystem::path& dir,
                             const std::string& password = {})
{
    std::filesystem::create_directories(dir);
    run_command("unar -q -D -o " + shell_quote(dir.string()) + (password.empty() ? "" : " -p " + shell_quote(password))
                + " " + shell_quote(archive.string()) + " >/dev/null 2>&1");
}

// The same with bsdtar (no passwords: libarchive reads no encrypted RAR data).
inline void bsdtar_extract_all(const std::filesystem::path& archive, const std::filesystem::path& dir)
{
    std::filesystem::create_directories(dir);
    run_command("bsdtar -xf " + shell_quote(archive.string()) + " -C " + shell_quote(dir.string()) + " >/dev/null 2>&1");
}

} // namespace velmora::test
