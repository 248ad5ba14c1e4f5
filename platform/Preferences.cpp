// The preference store: a UTF-8 text file of Name=Value lines in "[root]"
// sections, found through $QUILLET_PREFERENCES or beside the library, unless
// the system keeps the store itself (SystemPreferences.h). Only the file's
// bytes come from the OS (FileHandle.h); finding and parsing it is the same
// everywhere.
#include "platform/ZUtilities.h"

#include "platform/FileHandle.h"
#include "platform/SystemPreferences.h"
#include "platform/TextConversion.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

#ifndef QUILLET_LIB_TO_PREFIX
#define QUILLET_LIB_TO_PREFIX ".."
#endif
#ifndef QUILLET_SYSCONFDIR
#define QUILLET_SYSCONFDIR "/etc"
#endif

namespace Quillet {
namespace {

/// Anything larger is not a preference store; only its first part is read,
/// so that a wrong path (a disk image, a log) costs little.
constexpr std::size_t kMaxStoreBytes = 1 << 20;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

/// Names and roots compare ignoring the case of ASCII letters, as registry
/// keys and value names do.
std::wstring Fold(std::wstring text)
{
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

/// True for a line that is text: well-formed UTF-8 without control
/// characters other than tabs. Anything else is garbage and is skipped.
bool IsTextLine(std::string_view line)
{
    for (char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7F)
            return false;
    }
    const std::string bytes(line);
    return ToUtf8(FromUtf8(bytes)) == bytes;  // a conversion round trip keeps only valid UTF-8
}

bool IsRegularFile(const std::string& path)
{
    return Platform::GetPathKind(FromUtf8(path)) == Platform::PathKind::File;
}

/// The store's path: $QUILLET_PREFERENCES when set (even when it names no
/// file: an explicit choice is not second-guessed), else the store of the
/// installation the library was loaded from, else the configured system
/// folder's. Empty when there is no store.
std::string FindStorePath()
{
    std::string chosen;
    if (ZUtilities::GetEnv("QUILLET_PREFERENCES", chosen) && !chosen.empty())
        return chosen;
    static const std::string beside = [] {
        const std::wstring library = ZUtilities::GetLibraryFolder();
        if (library.empty())
            return std::string();
        const std::filesystem::path prefix =
            (std::filesystem::path(ToUtf8(library)) / QUILLET_LIB_TO_PREFIX).lexically_normal();
        return ToUtf8(ZUtilities::GetConfigurationFolder(FromUtf8(prefix.string()))) + "/quillet/preferences.conf";
    }();
    static const std::string system = QUILLET_SYSCONFDIR "/quillet/preferences.conf";
    if (!beside.empty() && IsRegularFile(beside))
        return beside;
    if (system != beside && IsRegularFile(system))
        return system;
    return std::string();
}

using Section = std::map<std::wstring, std::wstring>;  // folded name -> value

/// The store object. GetPreferences refreshes it from the file; SetRoot and
/// GetString may come from any thread, so all state is behind one lock.
class PreferenceStore final : public IPreferences {
public:
    void SetRoot(const std::wstring& newRoot) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        root = Fold(newRoot);
    }

    bool GetString(const std::wstring& name, std::wstring& value) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        const std::wstring key = Fold(name);
        auto section = sections.find(root);
        if (section != sections.end()) {
            auto found = section->second.find(key);
            if (found != section->second.end()) {
                value = found->second;
                return true;
            }
        }
        auto found = global.find(key);
        if (found == global.end())
            return false;
        value = found->second;
        return true;
    }

    /// Re-reads the file at path and re-parses it when its contents changed.
    /// The contents, not the modification time, decide: two writes within one
    /// tick of the file system's clock would look unchanged otherwise.
    bool Refresh(const std::string& path)
    {
        std::string bytes;
        if (!Platform::ReadFileStart(FromUtf8(path), kMaxStoreBytes, bytes))
            return false;
        if (bytes.size() == kMaxStoreBytes) {
            // Cut off: the last, partial line is not trusted.
            const std::size_t lastBreak = bytes.rfind('\n');
            bytes.resize(lastBreak == std::string::npos ? 0 : lastBreak + 1);
        }
        std::lock_guard<std::mutex> guard(mutex);
        if (loaded && bytes == raw)
            return true;
        Parse(bytes);
        raw = std::move(bytes);
        loaded = true;
        return true;
    }

private:
    void Parse(std::string_view text)
    {
        sections.clear();
        global.clear();
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);  // a byte-order mark some editors write
        // Lines before the first section header hold values for every root.
        Section* current = &global;
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            const std::string_view line = Trim(text.substr(0, end));
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            if (line.empty() || line.front() == '#')
                continue;
            const bool isText = IsTextLine(line);
            if (line.front() == '[') {
                // A broken header drops the lines below it rather than filing
                // them under the section above.
                if (!isText || line.back() != ']') {
                    current = nullptr;
                    continue;
                }
                const std::wstring name =
                    Fold(FromUtf8(std::string(Trim(line.substr(1, line.size() - 2)))));
                current = name.empty() ? &global : &sections[name];
                continue;
            }
            const std::size_t equals = line.find('=');
            if (current == nullptr || !isText || equals == std::string_view::npos)
                continue;
            const std::string_view name = Trim(line.substr(0, equals));
            if (name.empty())
                continue;
            // The last of several lines with one name wins.
            (*current)[Fold(FromUtf8(std::string(name)))] =
                FromUtf8(std::string(Trim(line.substr(equals + 1))));
        }
    }

    std::mutex mutex;
    std::wstring root;  // folded
    bool loaded = false;
    std::string raw;
    Section global;
    std::map<std::wstring, Section> sections;  // by folded root
};

}  // namespace

IPreferences* ZUtilities::GetPreferences()
{
    // A file named by $QUILLET_PREFERENCES comes first everywhere (tests, a
    // second installation); else the system's own store where it has one.
    std::string chosen;
    if (!ZUtilities::GetEnv("QUILLET_PREFERENCES", chosen) || chosen.empty()) {
        if (IPreferences* system = Platform::GetSystemPreferences())
            return system;
    }
    // Never destroyed, so that no caller can see it go during process exit.
    static PreferenceStore* const store = new PreferenceStore;
    const std::string path = FindStorePath();
    if (path.empty() || !store->Refresh(path))
        return nullptr;
    return store;
}

}  // namespace Quillet
