// The preview launcher: builds the preview application's command line and
// argument list, and starts it on the job without waiting for it.
#include "capture/Launcher.h"

#include "capture/JobInfo.h"
#include "platform/ChildProcess.h"
#include "platform/CommandLine.h"
#include "platform/Confinement.h"
#include "platform/FileHandle.h"
#include "platform/StandardHandles.h"
#include "platform/ZBaseStorage.h"
#include "settings/InstallSettings.h"

#include <algorithm>
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

bool Holds(const std::vector<std::wstring>& argv, const std::wstring& option)
{
    return std::find(argv.begin(), argv.end(), option) != argv.end();
}

/// The preview's command, built once as the described command line and as
/// the argument list the child gets. The line quotes each value; in the list
/// a value is one argument whatever it holds, and only the host's
/// ready-made intent is split into arguments.
struct PreviewCommand {
    std::wstring line;
    std::vector<std::wstring> argv;
    std::wstring application;

    /// Adds "OPTION "VALUE"" when the command so far lacks the option.
    void AddOption(const std::wstring& option, const std::wstring& value)
    {
        if (line.find(option + L" ") == std::wstring::npos)
            line += L" " + option + L" \"" + value + L"\"";
        if (!Holds(argv, option)) {
            argv.push_back(option);
            argv.push_back(value);
        }
    }
};

PreviewCommand MakePreviewCommand(const std::wstring& previewPath, const std::wstring& intent,
                                  const std::wstring& docName, const std::wstring& queueName)
{
    PreviewCommand command;
    command.application = previewPath;
    command.line = previewPath;
    if (previewPath.find_first_of(L" \t") != std::wstring::npos)
        command.line = L"\"" + previewPath + L"\"";
    command.argv = {previewPath};
    if (EndsWith(previewPath, L".bat")) {
        command.line = L"cmd.exe /C " + command.line;
        command.argv = {L"cmd.exe", L"/C", previewPath};
        command.application.clear();
    }
    command.line += L" ";
    if (!intent.empty()) {
        if (intent[0] == L'-') {
            command.line += L" " + intent;
            const std::vector<std::wstring> options = Platform::SplitArguments(intent);
            command.argv.insert(command.argv.end(), options.begin(), options.end());
        } else {
            command.line += L" -intent \"" + intent + L"\"";
            command.argv.insert(command.argv.end(), {L"-intent", intent});
        }
    }
    command.AddOption(L"-docname", docName);
    command.AddOption(L"-printername", queueName);
    return command;
}

}  // namespace

std::wstring BuildPreviewCommandLine(const std::wstring& previewPath, const std::wstring& intent,
                                     const std::wstring& docName, const std::wstring& queueName,
                                     std::wstring& application)
{
    return BuildPreviewCommandLine(previewPath, intent, docName, queueName, std::wstring(), application);
}

std::wstring BuildPreviewCommandLine(const std::wstring& previewPath, const std::wstring& intent,
                                     const std::wstring& docName, const std::wstring& queueName,
                                     const std::wstring& printJobFile, std::wstring& application)
{
    PreviewCommand command = MakePreviewCommand(previewPath, intent, docName, queueName);
    if (!printJobFile.empty())
        command.AddOption(L"-printjobfile", printJobFile);
    application = command.application;
    return command.line;
}

bool StartPreviewProcess(InstallSettings* settings, JobInfo* job, const std::wstring& outputFolder)
{
    const std::wstring previewPath = settings->GetPreviewPath();
    if (previewPath.empty())
        return false;  // no preference store: nothing to start
    PreviewCommand command =
        MakePreviewCommand(previewPath, job->intent, job->GetDocName(), settings->GetQueueName());
    if (!job->GetPrintJobFile().empty())
        command.AddOption(L"-printjobfile", job->GetPrintJobFile());
    // The preview writes its pages where the host's run would have: the
    // only folder besides its own temporary one that it may write to.
    if (!outputFolder.empty())
        command.AddOption(L"-outdir", outputFolder);
    const std::vector<std::wstring>& argv = command.argv;

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
    options.outliveHost = true;  // the user's to close
    if (Platform::ChildProcess::Spawn(argv, options, preview.child))
        return false;

    Launched& launched = LaunchedChildren();
    std::lock_guard<std::mutex> guard(launched.lock);
    for (auto it = launched.children.begin(); it != launched.children.end();) {
        it = it->child.TryGetEnd() ? launched.children.erase(it) : it + 1;
    }
    launched.children.push_back(std::move(preview));
    return true;
}

}  // namespace Quillet
