// SplitCommandLine and JoinCommandLine: the Windows C runtime's argument rules,
// in neutral code.
#include "platform/CommandLine.h"

namespace Quillet::Platform {

namespace {

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

/// text in double quotes, written so that the argument rules give text back
/// unchanged: a quote inside becomes \" and the backslashes in front of a
/// quote (or of the closing quote) are doubled.
std::wstring Quote(const std::wstring& text)
{
    std::wstring result = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : text) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            result.append(backslashes * 2 + 1, L'\\');
        } else {
            result.append(backslashes, L'\\');
        }
        backslashes = 0;
        result += c;
    }
    result.append(backslashes * 2, L'\\');
    result += L'"';
    return result;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine)
{
    std::vector<std::wstring> args;
    const std::size_t size = commandLine.size();
    std::size_t i = 0;
    while (i < size && IsBlank(commandLine[i]))
        ++i;
    if (i == size)
        return args;

    // The program name: quotes toggle grouping and are dropped; a backslash
    // is just a character, so "C:\dir\" style paths survive.
    {
        std::wstring arg;
        bool quoted = false;
        for (; i < size; ++i) {
            const wchar_t c = commandLine[i];
            if (c == L'"')
                quoted = !quoted;
            else if (!quoted && IsBlank(c))
                break;
            else
                arg += c;
        }
        args.push_back(std::move(arg));
    }

    for (;;) {
        while (i < size && IsBlank(commandLine[i]))
            ++i;
        if (i == size)
            break;
        std::wstring arg;
        bool quoted = false;
        while (i < size) {
            const wchar_t c = commandLine[i];
            if (c == L'\\') {
                std::size_t slashes = 0;
                while (i < size && commandLine[i] == L'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < size && commandLine[i] == L'"') {
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2 == 1) {
                        arg += L'"';
                        ++i;
                    }
                    // An even run leaves the quote to the grouping below.
                } else {
                    arg.append(slashes, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < size && commandLine[i + 1] == L'"') {
                    arg += L'"';  // "" inside quotes: a literal quote, still quoted
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            if (!quoted && IsBlank(c))
                break;
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::vector<std::wstring> SplitArguments(const std::wstring& text)
{
    // After a program name of its own, so that the text is read by the
    // argument rules throughout.
    std::vector<std::wstring> args = SplitCommandLine(L"p " + text);
    args.erase(args.begin());
    return args;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& argv)
{
    std::wstring line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::wstring& arg = argv[i];
        if (i == 0) {
            line = L"\"" + arg + L"\"";
            continue;
        }
        line += L' ';
        line += arg.empty() || arg.find_first_of(L" \t\"") != std::wstring::npos ? Quote(arg) : arg;
    }
    return line;
}

}  // namespace Quillet::Platform
