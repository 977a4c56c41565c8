// OEM code pages by language, and decoding through iconv.
#include "archive/OemCodePage.h"

#include <cerrno>
#include <cstdlib>
#include <iconv.h>
#include <map>
#include <mutex>

namespace velmora {

namespace {

struct LanguageCodePage {
    std::string_view language; // ISO 639 code, or language_TERRITORY for the exceptions
    int code_page;
};

// Windows' OEM code page of each language's default locale. Territory
// entries come first and win over the language alone.
constexpr LanguageCodePage table[] = {
    // territories that differ from their language's default
    {"en_US", 437}, {"en_CA", 850}, {"fr_CA", 850}, {"pt_BR", 850}, {"pt_PT", 850},
    {"zh_TW", 950}, {"zh_HK", 950}, {"zh_MO", 950}, {"zh_CN", 936}, {"zh_SG", 936},
    {"sr_RS@latin", 852}, {"sr_ME", 852},
    // languages
    {"en", 850}, {"fr", 850}, {"de", 850}, {"it", 850}, {"es", 850}, {"nl", 850}, {"pt", 850},
    {"ca", 850}, {"eu", 850}, {"gl", 850}, {"da", 850}, {"nb", 850}, {"nn", 850}, {"no", 850},
    {"sv", 850}, {"fi", 850}, {"ga", 850}, {"gd", 850}, {"cy", 850}, {"af", 850}, {"id", 850},
    {"ms", 850}, {"sw", 437}, {"is", 850}, {"fo", 850}, {"lb", 850}, {"rm", 850}, {"fy", 850},
    {"pl", 852}, {"cs", 852}, {"sk", 852}, {"hu", 852}, {"hr", 852}, {"sl", 852}, {"ro", 852},
    {"sq", 852}, {"bs", 852},
    {"ru", 866}, {"uk", 866}, {"be", 866}, {"bg", 866}, {"mk", 866}, {"kk", 866}, {"ky", 866},
    {"tt", 866}, {"mn", 866}, {"sr", 855},
    {"el", 737}, {"tr", 857}, {"az", 857}, {"he", 862}, {"yi", 862},
    {"ar", 720}, {"fa", 720}, {"ur", 720},
    {"lt", 775}, {"lv", 775}, {"et", 775},
    {"th", 874}, {"vi", 1258},
    {"ja", 932}, {"zh", 936}, {"ko", 949},
};

// The converters opened so far, one per code page, closed at exit.
struct converter_table {
    std::map<int, iconv_t> by_code_page;
    converter_table() = default;
    converter_table(const converter_table&) = delete;
    converter_table& operator=(const converter_table&) = delete;
    ~converter_table()
    {
        for (const auto& [code_page, cd] : by_code_page)
            if (cd != reinterpret_cast<iconv_t>(-1))
                iconv_close(cd);
    }
};

} // namespace

int oem_code_page_for_locale(std::string_view locale)
{
    // language[_territory][.codeset][@modifier]
    std::string_view base = locale;
    std::string_view modifier;
    if (const size_t at = base.find('@'); at != std::string_view::npos) {
        modifier = base.substr(at);
        base = base.substr(0, at);
    }
    if (const size_t dot = base.find('.'); dot != std::string_view::npos)
        base = base.substr(0, dot);
    if (base.empty() || base == "C" || base == "POSIX")
        return 437;
    const std::string_view language = base.substr(0, base.find('_'));
    const std::string with_modifier = std::string(base) + std::string(modifier);
    for (const auto& entry : table)
        if (entry.language == with_modifier)
            return entry.code_page;
    for (const auto& entry : table)
        if (entry.language == base)
            return entry.code_page;
    for (const auto& entry : table)
        if (entry.language == language)
            return entry.code_page;
    return 437;
}

std::string session_locale()
{
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v)
            return v;
    }
    return {};
}

int session_oem_code_page() { return oem_code_page_for_locale(session_locale()); }

std::optional<std::string> code_page_to_utf8(std::span<const uint8_t> bytes, int code_page)
{
    // One converter per code page, kept for the program's life; iconv
    // descriptors are not safe to share between threads, hence the lock.
    static std::mutex lock;
    static converter_table table;
    auto& converters = table.by_code_page;
    const std::lock_guard guard(lock);
    auto it = converters.find(code_page);
    if (it == converters.end()) {
        const std::string name = "CP" + std::to_string(code_page);
        it = converters.emplace(code_page, iconv_open("UTF-8", name.c_str())).first;
    }
    const iconv_t cd = it->second;
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);

    std::string out;
    out.resize(bytes.size() * 4 + 16);
    char* in_ptr = reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data()));
    size_t in_left = bytes.size();
    char* out_ptr = out.data();
    size_t out_left = out.size();
    while (in_left > 0) {
        if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG) {
            const size_t used = out.size() - out_left;
            out.resize(out.size() * 2);
            out_ptr = out.data() + used;
            out_left = out.size() - used;
            continue;
        }
        // A byte the code page does not define, or a lead byte without its
        // trail byte: U+FFFD for it, and on with the next byte.
        if (out_left < 3) {
            const size_t used = out.size() - out_left;
            out.resize(out.size() + 16);
            out_ptr = out.data() + used;
            out_left = out.size() - used;
        }
        *out_ptr++ = static_cast<char>(0xEF);
        *out_ptr++ = static_cast<char>(0xBF);
        *out_ptr++ = static_cast<char>(0xBD);
        out_left -= 3;
        ++in_ptr;
        --in_left;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(out.size() - out_left);
    return out;
}

} // namespace velmora
