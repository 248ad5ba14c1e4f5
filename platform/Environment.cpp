// BuildEnvironment: merging a child's extra environment entries over the
// host's, the same on every system (the OS part only lists the host's).
#include "platform/Environment.h"

#include "platform/TextConversion.h"

namespace Quillet::Platform {

namespace {

bool HasNul(const std::string& text)
{
    return text.find('\0') != std::string::npos;
}

}  // namespace

bool BuildEnvironment(const std::vector<std::string_view>& inherited,
                      const std::vector<std::pair<std::wstring, std::wstring>>& extra,
                      std::vector<std::string>& out)
{
    std::vector<std::pair<std::string, std::string>> entries;
    for (const auto& [name, value] : extra) {
        std::string n = ToUtf8(name);
        std::string v = ToUtf8(value);
        if (n.empty() || n.find('=') != std::string::npos || HasNul(n) || HasNul(v))
            return false;
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (it->first == n) {
                entries.erase(it);
                break;
            }
        }
        entries.emplace_back(std::move(n), std::move(v));
    }
    for (const std::string_view text : inherited) {
        const std::string_view name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& e : entries) {
            if (e.first == name) {
                replaced = true;
                break;
            }
        }
        if (!replaced)
            out.emplace_back(text);
    }
    for (const auto& e : entries)
        out.push_back(e.first + "=" + e.second);
    return true;
}

}  // namespace Quillet::Platform
