// The texts of the boxes an extraction run shows, shared by the readers. A
// reader whose format has texts of its own (GZIP and TAR's lower-case ones,
// ZIP's "Error writing zip file") declares those beside its code and they
// take precedence over these.
#pragma once

#include <string_view>

namespace velmora::run_text {

inline constexpr std::string_view open_error = "The archive cannot be opened.";
inline constexpr std::string_view crc_error = "CRC error.";
inline constexpr std::string_view crc_failed = "CRC calculation failed.";
inline constexpr std::string_view size_error = "Error in decompressed size.";
inline constexpr std::string_view write_error = "Error writing file.";
inline constexpr std::string_view password_prompt = "Please enter Password.";
inline constexpr std::string_view password_title = "Password";
inline constexpr std::string_view invalid_password = "Invalid Password.";

} // namespace velmora::run_text
