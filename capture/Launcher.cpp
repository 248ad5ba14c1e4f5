// The preview launcher: builds the preview application's command line and
// starts it on the job without waiting for it.
#include "capture/Launcher.h"

#include "capture/JobInfo.h"
#include "platform/ChildProcess.h"
#include "platform/CommandLine.h"
#include "platform/Confinement.h"
#include "platform/FileHandle.h"
#include "platform/StandardHandles.h"
#include "platform/ZBaseStorage.h"
#include "settings/InstallSettings.h"

#include <mutex>
#include <vector>

namespace Quillet {

namespace {

/// A preview application that runs, with its private temporary folder.
struct Preview {
    Platform::ChildProcess child;
    Platform::PrivateFolder temporaryFolder;
};

/// The preview applications started and not yet seen to end. Kept, and never
/// destroyed, because an owner's destruction would end its child: a preview
/// outlives the call that started it, and may outlive the library. Each launch
/// reaps those that have ended and removes their temporary folders.
struct Launched {
    std::mutex lock;
    std::vector<Preview> children;
};

Launched& LaunchedChildren()
{
    static Launched* launched = new Launched;
    return *launched;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::wstring BuildPreviewCommandLine(const std::wstring& previewPath, const std::wstring& intent,
                                     const std::wstring& docName, const std::wstring& queueName,
                                     std::wstring& application)
{
    application = previewPath;
    std::wstring commandLine = previewPath;
    if (previewPath.find_first_of(L" \t") != std::wstring::npos)
        commandLine = L"\"" + previewPath + L"\"";
    if (EndsWith(previewPath, L".bat")) {
        commandLine = L"cmd.exe /C " + commandLine;
        application.clear();
    }
    commandLine += L" ";
    if (!intent.empty()) {
        if (intent[0] == L'-')
            commandLine += L" " + intent;
        else
            commandLine += L" -intent \"" + intent + L"\"";
    }
    const std::wstring docOption = L"-docname ";
    if (commandLine.find(docOption) == std::wstring::npos)
        commandLine += L" " + docOption + L"\"" + docName + L"\"";
    const std::wstring queueOption = L"-printername ";
    if (commandLine.find(queueOption) == std::wstring::npos)
        commandLine += L" " + queueOption + L"\"" + queueName + L"\"";
    return commandLine;
}

std::wstring BuildPreviewCommandLine(const std::wstring& previewPath, const std::wstring& intent,
                                     const std::wstring& docName, const std::wstring& queueName,
                                     const std::wstring& printJobFile, std::wstring& application)
{
    std::wstring commandLine = BuildPreviewCommandLine(previewPath, intent, docName, queueName, application);
    const std::wstring jobOption = L"-printjobfile ";
    if (!printJobFile.empty() && commandLine.find(jobOption) == std::wstring::npos)
        commandLine += L" " + jobOption + L"\"" + printJobFile + L"\"";
    return commandLine;
}

bool StartPreviewProcess(InstallSettings* settings, JobInfo* job, const std::wstring& outputFolder)
{
    const std::wstring previewPath = settings->GetPreviewPath();
    if (previewPath.empty())
        return false;  // no preference store: nothing to start
    std::wstring application;
    std::wstring commandLine = BuildPreviewCommandLine(previewPath, job->intent, job->GetDocName(),
                                                       settings->GetQueueName(), job->GetPrintJobFile(),
                                                       application);
    // The preview writes its pages where the host's run would have: the
    // only folder besides its own temporary one that it may write to.
    const std::wstring outputOption = L"-outdir ";
    if (!outputFolder.empty() && commandLine.find(outputOption) == std::wstring::npos)
        commandLine += L" " + outputOption + L"\"" + outputFolder + L"\"";
    std::vector<std::wstring> argv = Platform::SplitCommandLine(commandLine);
    if (argv.empty())
        return false;
    if (!application.empty())
        argv[0] = application;
    else if (argv[0].empty())
        return false;

    // It renders what the job holds, as Ghostscript does, and is confined as
    // Ghostscript is: it reads its job and the installation, and writes only
    // its output folder and a temporary folder of its own.
    std::wstring writable;
    for (std::size_t i = 1; i + 1 < argv.size(); ++i)
        if (argv[i] == L"-outdir")
            writable = argv[i + 1];
    // Made here: the preview may not write in the folder above it.
    const ZDirStorage outputDirectory{ZString(writable)};
    if (!writable.empty() && !outputDirectory.Exists())
        outputDirectory.Create();
    std::vector<std::wstring> documents = {job->GetDocName()};
    if (!job->GetPrintJobFile().empty())
        documents.push_back(job->GetPrintJobFile());
    Preview preview;
    preview.temporaryFolder = Platform::PrivateFolder(L"qvpreview");
    if (!preview.temporaryFolder.IsValid())
        return false;
    const Platform::Confinement confinement(Platform::PreviewRules(
        argv[0], settings->GetInstallDir(), writable, preview.temporaryFolder.GetPath(), documents));

    Platform::NativeHandle input =
        job->GetPrintJobFile().empty() ? job->OpenDataSource() : Platform::StandardInput();
    if (input == Platform::kNullHandle)
        input = Platform::kInvalidHandle;  // nothing to read: the preview gets the null device
    Platform::SpawnOptions options;
    options.stdIn = input;
    options.stdOut = Platform::StandardOutput();
    options.stdErr = Platform::StandardError();
    options.confinement = &confinement;
    if (!Platform::ChildProcess::Spawn(argv, options, preview.child))
        return false;

    Launched& launched = LaunchedChildren();
    std::lock_guard<std::mutex> guard(launched.lock);
    for (auto it = launched.children.begin(); it != launched.children.end();) {
        int code = 0;
        it = it->child.TryGetExitCode(code) ? launched.children.erase(it) : it + 1;
    }
    launched.children.push_back(std::move(preview));
    return true;
}

}  // namespace Quillet
