// BuildEnvironment: the environment a child starts with, the host's own
// entries with extra ones replacing or adding names.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Quillet::Platform {

/// Appends to out the entries of inherited ("NAME=VALUE", as the OS gives the
/// host's environment) whose names extra does not set, then extra's entries,
/// in UTF-8. A name given twice in extra takes its last value. False (out
/// unspecified) when a name in extra is empty or holds "=", or a name or
/// value holds NUL.
bool BuildEnvironment(const std::vector<std::string_view>& inherited,
                      const std::vector<std::pair<std::wstring, std::wstring>>& extra,
                      std::vector<std::string>& out);

}  // namespace Quillet::Platform
