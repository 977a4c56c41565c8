// Helpers of the ARJ and LZH tests: write byte fixtures, and read lsar's JSON
// listings.
#pragma once

#include "listing_snapshot.h"
#include "support/TestSupport.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::test::arj_lzh {

// Listings come from the catalogue tests' one snapshot of what the
// dispatcher answers (listing_snapshot.h).
using Listing = ListingSnapshot;
using ListedEntry = EntrySnapshot;

// Little-endian appenders for building headers.
inline void put8(std::vector<uint8_t>& b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put16(std::vector<uint8_t>& b, uint32_t v)
{
    put8(b, v);
    put8(b, v >> 8);
}
inline void put32(std::vector<uint8_t>& b, uint32_t v)
{
    put16(b, v);
    put16(b, v >> 16);
}
inline void put_text(std::vector<uint8_t>& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }

// lsar -j output: the entries array.
inline nlohmann::json lsar_entries(const std::string& json_text)
{
    return nlohmann::json::parse(json_text).at("lsarContents");
}

// "2021-03-04 05:06:08 +0000" (lsar run with TZ=UTC) to our date text.
inline std::string lsar_date(const nlohmann::json& e)
{
    return e.at("XADLastModificationDate").get<std::string>().substr(0, 19);
}

inline bool lsar_flag(const nlohmann::json& e, const char* key)
{
    return e.contains(key) && e.at(key).get<int>() != 0;
}

} // namespace velmora::test::arj_lzh
