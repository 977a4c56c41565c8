// Compares a listing made through the dispatcher with a corpus archive's
// expected listing (<archive>.expected.json: the peers' agreed values, with
// the stored header values under `disagreements` as peer "hdr").
#pragma once

#include "listing_snapshot.h"

#include "archive/TextDecoding.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

namespace velmora::test {

inline nlohmann::json load_json(const std::filesystem::path& p)
{
    std::ifstream in(p);
    return nlohmann::json::parse(in);
}

inline std::vector<uint8_t> hex_bytes(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// The listed value of a field: the stored header value where the peers'
// majority differs from it (a reader of stored headers shows those).
inline nlohmann::json expected_field(const nlohmann::json& archive, const nlohmann::json& entry, const std::string& field)
{
    for (const auto& d : archive.value("disagreements", nlohmann::json::array()))
        if (d["index"] == entry["index"] && d["field"] == field && d["peer"] == "hdr")
            return d["value"];
    return entry.contains(field) ? entry[field] : nlohmann::json{};
}

// Names the corpus decoded with a guessed legacy code page are compared with
// the program's own decoding of the stored bytes.
inline std::string expected_name(const nlohmann::json& entry)
{
    const std::string how = entry.value("name_decoded_as", "");
    if (entry.contains("name_hex") && (how == "cp1252" || how == "cp437" || how == "latin-1"))
        return decode_archive_text(std::span<const uint8_t>(hex_bytes(entry["name_hex"])));
    return entry["name"];
}

inline int32_t low32(const nlohmann::json& v)
{
    return static_cast<int32_t>(static_cast<uint32_t>(v.get<uint64_t>() & 0xFFFFFFFFu));
}

inline std::string expected_datetime(const nlohmann::json& entry)
{
    // DOS words that are no real date or time give 1 January 1601.
    if (!entry.value("dos_valid", true))
        return rejected_dos_date_time.to_string();
    return entry["datetime"];
}

// Checks every entry field the expected listing has, except those in skip.
// method_text and host_text turn stored codes into the program's texts.
template <typename MethodText, typename HostText>
void expect_entries_match(const nlohmann::json& archive, const ListingSnapshot& s, const std::set<std::string>& skip,
                          MethodText method_text, HostText host_text)
{
    const std::string name = archive["archive"];
    const auto& entries = archive["entries"];
    ASSERT_EQ(static_cast<size_t>(s.count), entries.size()) << name;
    for (const auto& e : entries) {
        const int idx = e["index"];
        const auto& got = s.entries.at(static_cast<size_t>(idx - 1));
        const std::string where = name + " entry " + std::to_string(idx);
        if (!skip.count("name")) {
            EXPECT_EQ(got.name, expected_name(e)) << where;
        }
        EXPECT_EQ(got.size, low32(expected_field(archive, e, "size"))) << where;
        if (e.contains("compressed_size")) {
            EXPECT_EQ(got.packed, low32(expected_field(archive, e, "compressed_size"))) << where;
        } else {
            EXPECT_EQ(got.packed, 0) << where;
        }
        if (e.contains("crc")) {
            const auto crc = expected_field(archive, e, "crc");
            const uint32_t want = crc.is_string() ? static_cast<uint32_t>(std::stoul(crc.get<std::string>(), nullptr, 16))
                                                  : crc.get<uint32_t>();
            EXPECT_EQ(static_cast<uint32_t>(got.crc), want) << where;
        } else {
            EXPECT_EQ(got.crc, 0) << where;
        }
        if (e.contains("datetime")) {
            EXPECT_EQ(got.when.to_string(), expected_datetime(e)) << where;
        }
        if (!skip.count("is_dir")) {
            EXPECT_EQ(got.dir, e["is_dir"].get<bool>()) << where;
        }
        EXPECT_EQ(got.encrypted, e["encrypted"].get<bool>()) << where;
        if (e.contains("method_code")) {
            EXPECT_EQ(got.method, method_text(e["method_code"].get<unsigned>())) << where;
        }
        if (e.contains("host_os")) {
            EXPECT_EQ(got.system_made_by, host_text(e["host_os"].get<unsigned>())) << where;
        }
        if (e.contains("version_needed")) {
            const unsigned v = e["version_needed"];
            EXPECT_EQ(got.version_needed, std::to_string(v / 10) + "." + std::to_string(v % 10)) << where;
        }
    }
}

} // namespace velmora::test
