// SplitCommandLine: one command line into the argument vector of a child.
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

}  // namespace Quillet::Platform
