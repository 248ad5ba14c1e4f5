// StartPreviewProcess: hands a captured job to the preview application.
#pragma once

#include <string>

namespace Quillet {

class InstallSettings;
class JobInfo;

/// The preview application's command line for a job, and in application the
/// program to start (empty when the command line names it, as for a batch
/// file run through the command processor). The command line is the preview
/// path, a space, then: the intent (ready-made option text when it begins
/// with "-", else -intent "INTENT"), -docname "DOCUMENT" and -printername
/// "QUEUE", each of the last two only when the text so far lacks that option.
/// A preview path holding a space or tab is quoted, so that it stays one
/// argument.
std::wstring BuildPreviewCommandLine(const std::wstring& previewPath, const std::wstring& intent,
                                     const std::wstring& docName, const std::wstring& queueName,
                                     std::wstring& application);

/// The same, followed by -printjobfile "FILE" when printJobFile is not empty
/// and the text so far lacks that option. The print path's job file lives
/// only until a reader opens it, and a captured job's keys name no document
/// path, so the preview is told where the job is; on Windows the preview
/// learns it otherwise. The command line of a job without a print-job file is
/// exactly the one above.
std::wstring BuildPreviewCommandLine(const std::wstring& previewPath, const std::wstring& intent,
                                     const std::wstring& docName, const std::wstring& queueName,
                                     const std::wstring& printJobFile, std::wstring& application);

/// Starts the preview application (settings->GetPreviewPath()) on job, with
/// the arguments of the second command line above followed by -outdir
/// OUTPUTFOLDER (when outputFolder is not empty and no argument so far is that
/// option): a ready-made intent split by the command-line rules
/// (platform/CommandLine.h), each value one argument whatever it holds; the
/// host's standard output and error; and as standard input the job's data
/// source when the job has no print-job file, else the host's standard
/// input. The preview is confined: it reads its job, the installation and
/// what Ghostscript reads, and writes only the folder of -outdir and a
/// temporary folder of its own, with no network. Does not wait for it: the
/// child runs on after the call and is reaped, its temporary folder removed,
/// by a later launch (or the system, when the host ends first). True when
/// the child was started. Never throws except on allocation.
bool StartPreviewProcess(InstallSettings* settings, JobInfo* job,
                         const std::wstring& outputFolder = std::wstring());

}  // namespace Quillet
