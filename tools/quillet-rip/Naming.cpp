// PageNames: the pattern quillet-rip names a document's pages by, and the
// removal of an earlier run's pages under the same pattern.
#include "Naming.h"

#include <system_error>

namespace Rip {

const char* const PageNames::kOneDocument = "{stem}-{page}.{ext}";
const char* const PageNames::kSeveralDocuments = "{stem}/{stem}-{page}.{ext}";
const char* const PageNames::kSingleFile = "{stem}.{ext}";

namespace {

const char* const kFields[] = {"{stem}", "{name}", "{page}", "{ext}", "{index}"};

/// The field that begins at text[at], or null.
const char* FieldAt(const std::string& text, std::size_t at)
{
    for (const char* field : kFields)
        if (text.compare(at, std::char_traits<char>::length(field), field) == 0)
            return field;
    return nullptr;
}

}  // namespace

std::string PageNames::Check(const std::string& pattern, bool singleFile)
{
    if (pattern.empty() || pattern[0] == '/' || pattern.back() == '/')
        return "a page name pattern is a relative file name";
    std::size_t partStart = 0;
    bool pageInLastPart = false;
    for (std::size_t i = 0; i <= pattern.size(); ++i) {
        if (i == pattern.size() || pattern[i] == '/') {
            const std::string part = pattern.substr(partStart, i - partStart);
            if (part.empty() || part == "." || part == "..")
                return "a page name pattern has no empty, \".\" or \"..\" part";
            pageInLastPart = part.find("{page}") != std::string::npos;
            if (i < pattern.size() && pageInLastPart)
                return "{page} belongs in the file name, not in a folder";
            partStart = i + 1;
        } else if (pattern[i] == '{') {
            const char* field = FieldAt(pattern, i);
            if (field == nullptr)
                return "unknown field in '" + pattern + "' (known: {stem} {name} {page} {ext} {index})";
            i += std::char_traits<char>::length(field) - 1;
        }
    }
    if (!singleFile && !pageInLastPart)
        return "the page name pattern needs {page} in its file name";
    return std::string();
}

PageNames::PageNames(std::filesystem::path folder, std::string pattern, const std::string& document, int index,
                     bool wholeName)
    : folder(std::move(folder)), pattern(std::move(pattern)), index(index)
{
    const std::filesystem::path path(document);
    name = path.filename().string();
    stem = path.stem().string();
    if (wholeName || stem.empty() || stem[0] == '.')
        stem = name;  // ".profile" keeps its whole name
}

std::string PageNames::Expand(const std::string& text, const std::string& page, const std::string& extension) const
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* field = text[i] == '{' ? FieldAt(text, i) : nullptr;
        if (field == nullptr) {
            out += text[i];
            continue;
        }
        const std::string key = field;
        out += key == "{stem}"   ? stem
               : key == "{name}" ? name
               : key == "{page}" ? page
               : key == "{ext}"  ? extension
                                 : std::to_string(index);
        i += key.size() - 1;
    }
    return out;
}

std::filesystem::path PageNames::PathOf(long page, int width, const std::string& extension) const
{
    std::string number;
    if (page > 0) {
        number = std::to_string(page);
        if (static_cast<int>(number.size()) < width)
            number.insert(0, static_cast<std::size_t>(width) - number.size(), '0');
    }
    return folder / Expand(pattern, number, extension);
}

void PageNames::RemoveOthers(const std::string& extension, const std::set<std::filesystem::path>& written) const
{
    // The last part of the pattern with {page} as a run of digits.
    const std::size_t slash = pattern.rfind('/');
    const std::string last = pattern.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::size_t at = last.find("{page}");
    if (at == std::string::npos)
        return;
    const std::string before = Expand(last.substr(0, at), "", extension);
    const std::string after = Expand(last.substr(at + 6), "", extension);
    const std::filesystem::path where =
        folder / (slash == std::string::npos ? std::string() : Expand(pattern.substr(0, slash), "", extension));
    std::error_code error;
    for (std::filesystem::directory_iterator it(where, error), end; !error && it != end; it.increment(error)) {
        const std::string file = it->path().filename().string();
        if (file.size() <= before.size() + after.size() || file.compare(0, before.size(), before) != 0 ||
            file.compare(file.size() - after.size(), after.size(), after) != 0)
            continue;
        const std::string digits = file.substr(before.size(), file.size() - before.size() - after.size());
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code ignored;
        if (it->is_regular_file(ignored) && written.count(it->path()) == 0)
            std::filesystem::remove(it->path(), ignored);
    }
}

}  // namespace Rip
