// Jobs that need no printing: PDF and EPS documents, which Ghostscript reads
// by their path, and office documents, laid out as PDF by the office suite.
#include "engine/RIPEngine.h"

#include "capture/DocumentKind.h"
#include "capture/JobInfo.h"
#include "capture/OfficeDocument.h"
#include "capture/OfficePool.h"
#include "engine/RIPEngineImpl.h"
#include "platform/Pipe.h"
#include "platform/TextConversion.h"

#include <cstring>
#include <stdexcept>
#include <utility>

namespace Quillet {

namespace {

/// The PostScript that hands Ghostscript's PDF interpreter the password: a
/// string whose every byte is an octal escape, so no byte of the password
/// can end it early.
std::string PasswordPreamble(const std::wstring& password)
{
    if (password.empty())
        return std::string();
    std::string text = "/PDFPassword (";
    for (const char c : ToUtf8(password)) {
        const auto byte = static_cast<unsigned char>(c);
        text += '\\';
        text += static_cast<char>('0' + (byte >> 6));
        text += static_cast<char>('0' + ((byte >> 3) & 7));
        text += static_cast<char>('0' + (byte & 7));
    }
    return text + ") def\n";
}

}  // namespace

RIPEngine::CaptureResult RIPEngine::PrepareFileJob(FileJob& job, std::chrono::steady_clock::time_point startedAt)
{
    const std::wstring& path = GetInputDocument();
    switch (GetDocumentKind(path)) {
    case DocumentKind::Pdf:
        job.path = path;
        return CaptureResult::Ready;
    case DocumentKind::Eps:
        job.path = path;
        job.eps = true;
        return CaptureResult::Ready;
    case DocumentKind::Office: {
        // The run's bounds hold from its start: the layout is part of it.
        OfficeRunBounds run;
        run.start = startedAt;
        run.timeLimitSeconds = GetTimeLimit();
        run.maxOutputBytes = GetMaxOutputBytes();
        run.maxMemoryBytes = GetMaxMemoryBytes();
        auto office = std::make_unique<OfficeDocument>(path);
        std::string failure;
        if (!office->Convert(OfficePool::Instance(), run, failure)) {
            impl->GetFailure().Set(RIP_STAGE_CAPTURE, failure);
            return CaptureResult::Failed;
        }
        job.path = office->GetPdfPath();
        job.office = std::move(office);
        return CaptureResult::Ready;
    }
    case DocumentKind::Printed:
        break;
    }
    return CaptureResult::NeedsPrinting;
}

Platform::NativeHandle RIPEngine::UseFileJob(FileJob job)
{
    // A document that was not printed has no printed copies.
    detectCopies = false;
    expectPages = true;
    documentFile = std::move(job.path);
    documentIsEps = job.eps;
    officeDocument = std::move(job.office);
    documentPreamble.Close();

    // The password goes through Ghostscript's input: a command line or an
    // environment could be read by others, a pipe cannot.
    const std::string preamble = documentIsEps ? std::string() : PasswordPreamble(jobInfo->password);
    Platform::PipePair pipe;
    if (!Platform::CreatePipe(pipe) || !Platform::SetNonBlocking(pipe.write.Get(), true))
        throw std::runtime_error("Unable to create data source pipe.");
    std::size_t written = 0;
    if (!preamble.empty() &&
        (Platform::WriteSome(pipe.write.Get(), preamble.data(), preamble.size(), written) != Platform::IoStatus::Ok ||
         written != preamble.size())) {
        impl->GetFailure().Set(RIP_STAGE_START, "the PDF password is too long");
        return Platform::kNullHandle;
    }
    // Closing the write end here ends Ghostscript's input after the preamble.
    documentPreamble = std::move(pipe.read);
    return documentPreamble.Get();
}

void RIPEngine::UseStreamJob()
{
    detectCopies = true;
    expectPages = false;
    documentFile.clear();
    documentIsEps = false;
    documentPreamble.Close();
    officeDocument.reset();
}

void RIPEngine::NoteJobStart(const char* bytes, std::size_t count)
{
    // The print system hands a PDF job its copies as a count, never as pages
    // printed again: equal pages are pages of the document.
    if (count >= 5 && std::memcmp(bytes, "%PDF-", 5) == 0) {
        detectCopies = false;
        expectPages = true;
    }
}

}  // namespace Quillet
