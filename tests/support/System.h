// What the shared test support asks of the OS, behind neutral calls: one
// implementation per system (support/posix/, support/win32/), picked by CMake.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace QuilletTest {

/// Makes a new folder prefix + six random characters, this user's alone; its
/// path. Throws std::runtime_error when none can be made.
std::string MakeUniqueFolder(const std::string& prefix);

/// Sets the variable name of this process's environment to value; clears it
/// when value is null.
void SetEnvironmentValue(const std::string& name, const char* value);

/// The path by which the running test program can start itself again.
std::string RunningProgramPath();

/// This process's id.
int CurrentProcessId();

/// How many handles this process has open; on Linux only those on target (as
/// /proc shows it, e.g. "anon_inode:inotify") when one is given.
std::size_t OpenDescriptorCount(const std::string& target = std::string());

/// Processes named name (Ghostscript by default; any when null; a Windows
/// program's name without ".exe") whose parent is parentId, this process when
/// 0 (other suites may run children of their own in the same process); ended
/// ones are left out.
std::vector<int> ChildrenOfThisProcess(int parentId = 0, const char* name = "gs");

}  // namespace QuilletTest
