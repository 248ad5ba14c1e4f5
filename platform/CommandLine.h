// Command lines: one line split into the argument vector of a child, and an
// argument vector joined into the one line a system that starts children
// from a string needs.
#pragma once

#include <string>
#include <vector>

namespace Quillet::Platform {

/// Splits a command line by the Windows C runtime's rules, so that a line
/// built for a Windows program reaches a POSIX child with the same arguments:
/// - spaces and tabs outside double quotes separate arguments;
/// - double quotes group and are removed;
/// - 2n backslashes before a quote give n backslashes, and the quote groups;
///   2n+1 backslashes before a quote give n backslashes and a literal quote;
///   backslashes anywhere else are literal;
/// - inside quotes, two quotes give one literal quote and the quoted part goes
///   on (the runtime's behaviour since 2008);
/// - the first argument (the program) is read as the runtime reads a program
///   name: quotes only group, backslashes are always literal.
/// An empty or blank line gives no arguments; "" gives one empty argument.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

/// Splits text that follows a program on a command line (a host's ready-made
/// switches) by the same rules, into the arguments it stands for.
std::vector<std::wstring> SplitArguments(const std::wstring& text);

/// The one line that SplitCommandLine gives back as argv: the program in
/// double quotes (it may not hold one), then each argument after a space,
/// quoted when it is empty or holds a blank or a quote.
std::wstring JoinCommandLine(const std::vector<std::wstring>& argv);

}  // namespace Quillet::Platform
