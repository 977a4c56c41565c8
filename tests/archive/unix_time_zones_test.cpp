// Guards the times of formats that store Unix time stamps (TAR, GZIP): an
// extracted file must get exactly the stored instant, in any time zone, and
// the listing must show that instant in local time like the ZIP rows do.
// A conversion that keeps UTC fields and reads them back as local time shifts
// every file by the zone's offset.
#include "archive/DateTime.h"
#include "support/Extraction.h"
#include "support/TarBuilder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <ctime>

using namespace velmora;
using namespace velmora::test;
namespace fs = std::filesystem;

namespace {

constexpr int64_t odd_instant = 1700000001; // 2023-11-14 22:13:21 UTC, an odd second

// A one-member ustar archive holding `data` with the given mtime.
std::string tar_of(const std::string& name, const std::string& data, int64_t mtime)
{
    TarMember m(name, data);
    m.mtime_field = tar_octal(static_cast<uint64_t>(mtime), 12);
    return tar_member(m) + tar_end_blocks;
}

std::string gzip_of(const std::string& data, const std::string& name, uint32_t mtime)
{
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    gz_header h{};
    h.time = mtime;
    std::string n = name;
    h.name = reinterpret_cast<Bytef*>(n.data());
    deflateSetHeader(&z, &h);
    std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The instant in the current zone, to the even second below, as a DOS stamp holds it.
DateTime local_fields(int64_t t)
{
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    localtime_r(&tt, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec / 2 * 2};
}

} // namespace

TEST(UnixTimesInZones, DosWordsHoldTheInstantInLocalTimeAndClampAtTheDosRange)
{
    for (const std::string& zone : test_time_zones()) {
        ScopedEnv tz("TZ", zone);
        for (const int64_t t : {int64_t{1205486813}, odd_instant, int64_t{2147483648}, int64_t{4102444800}}) {
            int16_t date = 0, time = 0;
            UnixTimeToDos(t, date, time);
            EXPECT_EQ(DosDateTimeToDate(date, time), local_fields(t)) << zone << " " << t;
        }
        int16_t date = 0, time = 0;
        UnixTimeToDos(0, date, time); // before 1980 everywhere
        EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{1980, 1, 1, 0, 0, 0})) << zone;
        UnixTimeToDos(int64_t{1} << 40, date, time); // after 2107 everywhere
        EXPECT_EQ(DosDateTimeToDate(date, time), (DateTime{2107, 12, 31, 23, 59, 58})) << zone;
    }
}

TEST(UnixTimesInZones, ExtractedFilesGetTheStoredInstantAsGnuTarAndGunzipGiveIt)
{
    for (const std::string& zone : test_time_zones()) {
        ScopedEnv tz("TZ", zone);
        TempDir dir;
        write_file(dir / "t.tar", tar_of("member.txt", "tar member\n", odd_instant));
        write_file(dir / "g.gz", gzip_of("gzip member\n", "gmember.txt", static_cast<uint32_t>(odd_instant)));
        // A time past 2038 and one past the DOS range: set exactly on disk.
        write_file(dir / "late.tar", tar_of("late.txt", "x", int64_t{4354819200} + 77));
        for (const char* archive : {"t.tar", "g.gz", "late.tar"}) {
            Extraction x(dir / archive);
            x.unpack(dir / "out");
            EXPECT_TRUE(x.window.messages.empty()) << zone << " " << archive;
        }
        EXPECT_EQ(stat_of(dir / "out" / "member.txt").st_mtime, odd_instant) << zone;
        EXPECT_EQ(stat_of(dir / "out" / "gmember.txt").st_mtime, odd_instant) << zone;
        EXPECT_EQ(stat_of(dir / "out" / "late.txt").st_mtime, int64_t{4354819200} + 77) << zone;

        // The listing shows the instant in local time, like a ZIP row.
        Extraction listed(dir / "t.tar");
        EXPECT_EQ(listed.files.FileDateTime(1), local_fields(odd_instant)) << zone;

        if (have_tool("tar")) {
            fs::create_directories(dir / "gnu");
            ASSERT_EQ(run_command("cd " + shell_quote((dir / "gnu").string()) + " && TZ=" + zone + " tar -xf ../t.tar"), 0);
            EXPECT_EQ(stat_of(dir / "gnu" / "member.txt").st_mtime, stat_of(dir / "out" / "member.txt").st_mtime) << zone;
        }
    }
}
