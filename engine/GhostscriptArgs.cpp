// The Ghostscript arguments: the installation's Ghostscript tree and the
// argument list for the service's settings.
//
// Each entry is one argument of the child, as it stands: a path or a host's
// value (IJS entries, the output name, the fonts folder) needs no quoting,
// whatever characters it holds. Only the host's split/merge switches are
// one text, split into arguments here.
#include "engine/GhostscriptArgs.h"

#include "engine/OutputFormats.h"
#include "engine/RIPEngine.h"
#include "platform/ChildProcess.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "settings/InstallSettings.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace Quillet {

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
    return Platform::ProgramPath(Platform::JoinPath({root, L"gs", L"bin"}), Platform::GhostscriptProgramName());
}

std::wstring GetGhostscriptLibFolder(const std::wstring& root)
{
    return Platform::JoinPath({root, L"gs", L"lib"});
}

std::wstring GetGhostscriptDllFolder(const std::wstring& root)
{
    return Platform::JoinPath({root, L"gs", L"bin"});
}

std::wstring GetIjsServerPath()
{
    return Platform::ProgramPath(Platform::JoinPath({InstallSettings::Instance().GetInstallDir(), L"gs", L"bin"}),
                                 L"qvijs");
}

std::int32_t GetProcessorCount()
{
    std::string value;
    if (!ZUtilities::GetEnv("NUMBER_OF_PROCESSORS", value))
        return ZUtilities::GetOnlineProcessorCount();
    // atoi's reading, without its undefined behaviour on overflow.
    long number = 0;
    ZUtilities::ConvertTo(FromUtf8(value), number);
    if (number > INT32_MAX)
        return INT32_MAX;
    if (number < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(number);
}

std::vector<std::wstring> SplitMergeFolders(const std::wstring& customParams)
{
    std::vector<std::wstring> folders;
    const std::vector<std::wstring> args = Platform::SplitArguments(customParams);
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::wstring path;
        if (args[i].rfind(L"-sOutputFile=", 0) == 0)
            path = args[i].substr(13);
        else if (args[i] == L"-o" && i + 1 < args.size())
            path = args[i + 1];
        if (path.empty() || !ZBaseStorage::MakeAbsolute(path))
            continue;
        folders.push_back(Platform::FolderOf(path));
    }
    return folders;
}

std::vector<std::wstring> GetWorkerArgs(const std::vector<std::wstring>& args, std::size_t outputAt,
                                        const std::vector<std::wstring>& pageSwitches,
                                        const std::wstring& pagePattern, std::int32_t renderingThreads)
{
    const std::wstring threads = L"-dNumRenderingThreads=";
    std::vector<std::wstring> result;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == outputAt)
            result.insert(result.end(), pageSwitches.begin(), pageSwitches.end());
        if (i == outputAt + 1 && !pagePattern.empty() && args[outputAt] == L"-o") {
            result.push_back(pagePattern);
        } else if (i < outputAt && args[i].rfind(threads, 0) == 0) {
            // The run's own entry; the host's switches after it stay as given.
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
        args.push_back(GetAntiAliasing() ? L"-dTextAlphaBits=4" : L"-dTextAlphaBits=1");
        args.push_back(GetAntiAliasing() ? L"-dGraphicsAlphaBits=4" : L"-dGraphicsAlphaBits=2");
    }
    if (format.container == Container::Jpeg && GetJpegQuality() >= 1) {
        FormatString(entry, L"-dJPEGQ=%i", std::min(GetJpegQuality(), 100));
        args.push_back(entry);
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
    if (format.container == Container::Tiff && format.colours == ColourType::Rgb)
        args.push_back(L"-sCompression=lzw");
    if (format.container != Container::Pcl) {
        const std::int32_t processors = GetProcessorCount();
        if (processors > 1) {
            FormatString(entry, L"-dNumRenderingThreads=%i", processors);
            args.push_back(entry);
        }
    } else {
        args.push_back(L"-sIjsServer=" + GetIjsServerPath());
        args.push_back(L"-sDeviceManufacturer=" + ijsManufacturer);
        args.push_back(L"-sDeviceModel=" + ijsModel);
        if (!ijsParams.empty())
            args.push_back(L"-sIjsParams=" + ijsParams);
    }
    if (GetUseCIEColor())
        args.push_back(L"-dUseCIEColor");
    if (GetUseTTFont()) {
        const std::wstring fonts = InstallSettings::Instance().GetFontsFolder();
        if (!fonts.empty())
            args.push_back(L"-sFONTPATH=" + fonts);
    }
    outputAt = args.size();
    if (GetIsSplitMerge()) {
        // The host's own switches take the place of the output name and of
        // single_copy.ps.
        const std::vector<std::wstring> custom = Platform::SplitArguments(GetCustomParams());
        args.insert(args.end(), custom.begin(), custom.end());
    } else {
        // Ghostscript works in the output folder: its output is named
        // relative to it, so that the folder is on no command line, which
        // every local user may read.
        std::wstring output = GetPagePattern().substr(EscapePercent(naming.GetDirectory()).size());
        if (format.singleFile) {
            const std::wstring pattern = output;
            FormatString(output, pattern.c_str(), 1);
            // The name is Ghostscript's OutputFile, read as a format too.
            output = EscapePercent(output);
        }
        args.push_back(L"-o");
        args.push_back(output);
        // Run before the job; found in GS_LIB.
        args.push_back(L"single_copy.ps");
    }
    // The job comes on standard input; a document comes after what its
    // input carries (a PDF's password), as the handle Ghostscript inherits:
    // its path is on no command line, and no path is too long for it.
    args.push_back(L"-_");
    if (documentJob.IsDocument()) {
        if (documentJob.IsEps())
            args.push_back(L"-dEPSCrop");  // the page is the picture's bounding box
        args.push_back(L"-f" + Platform::ChildProcess::InheritedHandleName(0));
    }
}

}  // namespace Quillet
