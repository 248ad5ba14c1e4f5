// The Ghostscript command line: the installation's Ghostscript tree, the
// arguments for the service's settings, and the joined line.
//
// The line is later split by the Windows argument rules into the child's argv
// (platform/CommandLine.h). Entries that hold a path quote it, so that a path
// with spaces or any other characters reaches Ghostscript as one argument:
// the IJS entries, the output name after "-o" (which the split turns into the
// two arguments "-o" and the name) and the fonts folder after "-sFONTPATH=".
#include "engine/GhostscriptArgs.h"

#include "engine/OutputFormats.h"
#include "engine/RIPEngine.h"
#include "platform/ChildProcess.h"
#include "platform/ZUtilities.h"
#include "settings/InstallSettings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace Quillet {

namespace {

/// text in double quotes, written so that the Windows argument rules give text
/// back unchanged: a quote inside becomes \" and the backslashes in front of a
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

std::wstring GetGhostscriptRoot(const std::wstring& exePath)
{
    std::wstring root;
    for (wchar_t c : exePath) {
        if (c != L'"')
            root += c;
    }
    const std::size_t cut = root.find_last_of(L"/\\");
    if (cut != std::wstring::npos)
        root.erase(cut + 1);
    return root;
}

std::wstring GetGhostscriptRoot()
{
    return GetGhostscriptRoot(InstallSettings::Instance().GetExePath());
}

std::wstring GetGhostscriptProgram(const std::wstring& root)
{
    return root + L"gs/bin/gs";
}

std::wstring GetGhostscriptLibFolder(const std::wstring& root)
{
    return root + L"gs/lib";
}

std::wstring GetGhostscriptDllFolder(const std::wstring& root)
{
    return root + L"gs/bin";
}

std::wstring GetIjsServerPath()
{
    return InstallSettings::Instance().GetInstallDir() + L"/gs/bin/qvijs";
}

std::int32_t GetProcessorCount()
{
    std::string value;
    if (!ZUtilities::GetEnv("NUMBER_OF_PROCESSORS", value))
        return ZUtilities::GetOnlineProcessorCount();
    // atoi's reading, without its undefined behaviour on overflow.
    errno = 0;
    const long number = std::strtol(value.c_str(), nullptr, 10);
    if (number > INT32_MAX)
        return INT32_MAX;
    if (number < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(number);
}

std::wstring BuildCommandLine(const std::wstring& program, const std::vector<std::wstring>& args)
{
    std::wstring line = L"\"" + program + L"\"";
    for (const std::wstring& arg : args) {
        line += L' ';
        line += arg;
    }
    return line;
}

std::vector<std::wstring> GetWorkerArgs(const std::vector<std::wstring>& args, std::size_t outputAt,
                                        const std::vector<std::wstring>& pageSwitches,
                                        const std::wstring& pagePattern, std::int32_t renderingThreads)
{
    const std::wstring threads = L"-dNumRenderingThreads=";
    std::vector<std::wstring> result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == outputAt) {
            result.insert(result.end(), pageSwitches.begin(), pageSwitches.end());
            result.push_back(pagePattern.empty() ? args[i] : L"-o " + Quote(pagePattern));
        } else if (args[i].rfind(threads, 0) == 0) {
            if (renderingThreads > 1)
                result.push_back(threads + std::to_wstring(renderingThreads));
        } else {
            result.push_back(args[i]);
        }
    }
    return result;
}

void RIPEngine::BuildGhostscriptArgs(std::vector<std::wstring>& args)
{
    std::size_t outputAt = 0;
    BuildGhostscriptArgs(args, outputAt);
}

void RIPEngine::BuildGhostscriptArgs(std::vector<std::wstring>& args, std::size_t& outputAt)
{
    const OutputFormat& format = FormatOf(GetOutputFormat());
    std::wstring entry;
    args.clear();
    args.push_back(L"-dSAFER");
    args.push_back(L"-dSTRICT");
    if (format.container != Container::PostScript) {
        // PostScript output gets no anti-aliasing.
        args.push_back(L"-dTextAlphaBits=1");
        args.push_back(L"-dGraphicsAlphaBits=2");
    }
    if (GetPageWidth() >= 1 && GetPageHeight() >= 1) {
        FormatString(entry, L"-g%ix%i", GetPageWidth(), GetPageHeight());
        args.push_back(entry);
    }
    if (GetResolution() >= 1) {
        FormatString(entry, L"-r%i", GetResolution());
        args.push_back(entry);
    }
    args.push_back(std::wstring(L"-sDEVICE=") + format.device);
    if (format.container != Container::Pcl) {
        const std::int32_t processors = GetProcessorCount();
        if (processors > 1) {
            FormatString(entry, L"-dNumRenderingThreads=%i", processors);
            args.push_back(entry);
        }
    } else {
        args.push_back(L"-sIjsServer=" + Quote(GetIjsServerPath()));
        args.push_back(L"-sDeviceManufacturer=" + Quote(ijsManufacturer));
        args.push_back(L"-sDeviceModel=" + Quote(ijsModel));
        if (!ijsParams.empty())
            args.push_back(L"-sIjsParams=" + Quote(ijsParams));
    }
    if (GetUseCIEColor())
        args.push_back(L"-dUseCIEColor");
    if (GetUseTTFont()) {
        const std::wstring fonts = InstallSettings::Instance().GetFontsFolder();
        if (!fonts.empty())
            args.push_back(L"-sFONTPATH=" + Quote(fonts));
    }
    outputAt = args.size();
    if (GetIsSplitMerge()) {
        // The host's own switches take the place of the output name and of
        // single_copy.ps.
        args.push_back(GetCustomParams());
    } else {
        // Ghostscript works in the output folder: its output is named
        // relative to it, so that the folder is on no command line, which
        // every local user may read.
        std::wstring output = GetPagePattern().substr(EscapePercent(pageDirectory).size());
        if (format.singleFile) {
            const std::wstring pattern = output;
            FormatString(output, pattern.c_str(), 1);
            // The name is Ghostscript's OutputFile, read as a format too.
            output = EscapePercent(output);
        }
        args.push_back(L"-o " + Quote(output));
        // Run before the job; found in GS_LIB.
        args.push_back(L"single_copy.ps");
    }
    // The job comes on standard input; a document comes after what its
    // input carries (a PDF's password), as the handle Ghostscript inherits:
    // its path is on no command line, and no path is too long for it.
    args.push_back(L"-_");
    if (!documentFile.empty()) {
        if (documentIsEps)
            args.push_back(L"-dEPSCrop");  // the page is the picture's bounding box
        args.push_back(L"-f" + Quote(Platform::ChildProcess::InheritedHandleName(0)));
    }
}

}  // namespace Quillet
