// The Ghostscript arguments: where Ghostscript is installed and the argument
// list of each of a run's processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Quillet {

/// The Ghostscript root R: the job-server executable's folder, with every
/// double quote removed, cut after the last "/" or "\" (a path without either
/// is used whole).
std::wstring GetGhostscriptRoot();
std::wstring GetGhostscriptRoot(const std::wstring& exePath);

/// R + "gs/bin/gs" (gs\bin\gswin64c.exe on Windows), R + "gs/lib" (GS_LIB)
/// and R + "gs/bin" (GS_DLL).
std::wstring GetGhostscriptProgram(const std::wstring& root);
std::wstring GetGhostscriptLibFolder(const std::wstring& root);
std::wstring GetGhostscriptDllFolder(const std::wstring& root);

/// The IJS server's path: the install directory + "/gs/bin/qvijs".
std::wstring GetIjsServerPath();

/// NUMBER_OF_PROCESSORS read like atoi (0 without leading digits), else the
/// number of online processors.
std::int32_t GetProcessorCount();

/// The folders that the host's split/merge switches name for Ghostscript's
/// output ("-sOutputFile=PATH", "-o PATH"), absolute.
std::vector<std::wstring> SplitMergeFolders(const std::wstring& customParams);

/// The arguments of one of a run's Ghostscript processes, made from the run's
/// own (args, output entry at outputAt, as RIPEngine::BuildGhostscriptArgs
/// gives them: "-o" and the name, or the host's split/merge switches):
/// pageSwitches go before the output entry; the name after "-o" becomes
/// pagePattern when that is not empty (a per-page format's pattern); the
/// run's rendering-threads entry becomes renderingThreads (none below 2).
std::vector<std::wstring> GetWorkerArgs(const std::vector<std::wstring>& args, std::size_t outputAt,
                                        const std::vector<std::wstring>& pageSwitches,
                                        const std::wstring& pagePattern, std::int32_t renderingThreads);

}  // namespace Quillet
