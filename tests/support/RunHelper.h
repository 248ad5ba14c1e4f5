// RunHelper: the test binary run once in a helper mode to its end. One
// implementation per system (support/posix/, support/win32/).
#pragma once

#include <string>
#include <vector>

namespace QuilletTest {

/// Runs `<self> --quillet-helper name args...` with no standard input and
/// waits for it (at most a minute, then it is killed). Its exit code; -1 when
/// it could not start, was killed or ran too long.
int RunHelper(const std::wstring& name, const std::vector<std::wstring>& args);

}  // namespace QuilletTest
