// archive-probe: drives the core exactly as the window does and prints what it
// sees, one tab-separated record per line, for comparing with other tools.
//
//   archive-probe list ARCHIVE
//   archive-probe extract ARCHIVE OUTDIR [--password PW] [--no-overwrite] [--only 1,3,5]
#include "archive/Cls_GetFileType.h"
#include "archive/HeadlessWindow.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace velmora;


namespace {

// Backslash, tab, CR and LF as \\ \t \r \n; other control bytes as \xHH.
std::string escape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        default:
            if (c < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out.push_back(ch);
            }
        }
    }
    return out;
}

void print_message(const HeadlessWindow::Message& m)
{
    std::fprintf(stderr, "message\t%s\t%s\t%s\n", escape(m.title).c_str(),
                 std::string(icon_name(m.icon)).c_str(), escape(m.text).c_str());
}

int usage()
{
    std::fprintf(stderr,
                 "usage: archive-probe list ARCHIVE\n"
                 "       archive-probe extract ARCHIVE OUTDIR [--password PW] [--no-overwrite] [--only 1,3,5]\n");
    return 2;
}

int list(const std::string& archive)
{
    HeadlessWindow window;
    window.on_message = print_message;
    Cls_GetFileType files(window);
    const int result = files.Get_Contents(archive);
    const int32_t count = files.FileCount();
    std::printf("result\t%d\n", result);
    std::printf("type\t%d\n", static_cast<int>(files.state().PackFileType));
    std::printf("count\t%" PRId32 "\n", count);
    std::printf("comment\t%s\n", escape(files.CommentsPack()).c_str());
    for (int32_t k = 1; k <= count; ++k) {
        std::printf("entry\t%" PRId32 "\t%s\t%s\t%" PRId64 "\t%" PRId64 "\t%08" PRIx32 "\t%d\t%d\t%s\t%s\t%s\t%s\t%s\t%s\n", k,
                    escape(files.FileName(k)).c_str(), escape(files.Method(k)).c_str(), files.Compressed_Size(k),
                    files.UnCompressed_Size(k), static_cast<uint32_t>(files.CRC32(k)), files.Encrypted(k) ? 1 : 0,
                    files.IsDir(k) ? 1 : 0, files.FileDateTime(k).to_string().c_str(),
                    escape(files.SystemMadeBy(k)).c_str(), escape(files.VersionMadeBy(k)).c_str(),
                    escape(files.SystemNeeded(k)).c_str(), escape(files.VersionNeeded(k)).c_str(),
                    escape(files.CommentsFile(k)).c_str());
    }
    return 0;
}

bool parse_only(const std::string& text, std::vector<int32_t>& out)
{
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = text.find(',', pos);
        const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        char* end = nullptr;
        const long v = std::strtol(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || v < 1 || v > INT32_MAX)
            return false;
        out.push_back(static_cast<int32_t>(v));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return true;
}

int extract(const std::vector<std::string>& args)
{
    if (args.size() < 2)
        return usage();
    std::string password;
    bool overwrite = true;
    std::vector<int32_t> only;
    bool have_only = false;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == "--password" && i + 1 < args.size()) {
            password = args[++i];
        } else if (args[i] == "--no-overwrite") {
            overwrite = false;
        } else if (args[i] == "--only" && i + 1 < args.size()) {
            if (!parse_only(args[++i], only))
                return usage();
            have_only = true;
        } else {
            return usage();
        }
    }

    HeadlessWindow window;
    window.on_message = print_message;
    window.overwrite = overwrite;
    // Spaced updates, as the program's window asks for them, so the core
    // runs here as it runs under the window.
    window.interval_ms = 25;
    Cls_GetFileType files(window);
    // Every extraction asks at most once per call, and a listing of
    // encrypted headers once; keep enough answers ready.
    for (int i = 0; i < 4; ++i)
        window.input_answers.push_back(password);
    files.Get_Contents(args[0]);
    const int32_t count = files.FileCount();
    window.row_count = count;

    Selection selection(static_cast<size_t>(count) + 1, false);
    for (int32_t k = 1; k <= count; ++k)
        selection[static_cast<size_t>(k)] = !have_only;
    for (const int32_t k : only)
        if (k <= count)
            selection[static_cast<size_t>(k)] = true;

    std::string to_path = args[1];
    const int result = files.UnPack(selection, to_path);
    std::printf("unpack\t%d\n", result);
    std::printf("messages\t%zu\n", window.messages.size());
    // What became of every selected entry, grouped by reason.
    const ExtractionReport& report = files.state().report;
    std::printf("report\textracted\t%" PRId64 "\n", report.count(EntryOutcome::extracted));
    for (const auto& g : report.groups()) {
        std::string reason(outcome_reason_key(g.reason));
        if (!g.detail.empty())
            reason += ":" + g.detail;
        std::printf("report\t%s\t%s\t%" PRId64 "\n", std::string(entry_outcome_key(g.outcome)).c_str(),
                    escape(reason).c_str(), g.count);
    }
    // An archive that could not be loaded extracted nothing: not a success,
    // whatever the dispatcher answers for it; nor is a run that left entries
    // out, though it raised no box.
    const bool loaded = files.state().PackFileType != format_code::none;
    return loaded && result == 0 && window.messages.empty() && report.all_extracted() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "list")
        return list(args[1]);
    if (args.size() >= 3 && args[0] == "extract")
        return extract(std::vector<std::string>(args.begin() + 1, args.end()));
    return usage();
}
