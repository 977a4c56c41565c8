// The OEM code page DOS and Windows archivers of the user's language wrote
// names in, chosen from the session's locale variables (LC_ALL, LC_CTYPE,
// LANG) as Windows assigns OEM code pages to languages, and the decoding of
// such names through glibc's iconv. Works whether or not that locale is
// installed: only the variables' text is read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora {

// The OEM code page for a locale name such as "ru_RU.UTF-8", "zh_TW",
// "pt_BR.utf8@euro"; 437 for "C", "POSIX", "" and languages without one.
int oem_code_page_for_locale(std::string_view locale);

// The first non-empty of LC_ALL, LC_CTYPE and LANG, as the session sets them.
std::string session_locale();

// The OEM code page of the session's locale.
int session_oem_code_page();

// Bytes in code page `code_page` as UTF-8; nullopt when iconv has no such
// code page. A byte sequence the code page does not define becomes U+FFFD.
std::optional<std::string> code_page_to_utf8(std::span<const uint8_t> bytes, int code_page);

} // namespace velmora
