// Document and DocumentImpl: printing a tagged copy of the input document.
#include "capture/Document.h"

#include "capture/QueueManager.h"
#include "platform/ShellPrint.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZPrintQueue.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"
#include "settings/PathHelpers.h"

namespace Quillet {

namespace {

const ZString& ExclusionList()
{
    static const ZString* list = new ZString(L".cdr;.qxd;.pmd;.vsd;.indd;");
    return *list;
}

}  // namespace

const std::wstring& PrintDirectSuffix()
{
    static const std::wstring* suffix = new std::wstring(L".QV_PrintDirect");
    return *suffix;
}

bool DocumentImpl::CanPrint(const std::wstring& documentPath) const
{
    ZFileName name;
    if (!name.Set(documentPath.c_str()))
        return true;
    ZString extension;
    if (!name.ReturnExt(extension) || extension.Length() == 0)
        return false;
    ZString key(L"." + extension.Str() + L";");
    return !ExclusionList().ContainsI(key);
}

bool DocumentImpl::ShellPrint(const std::wstring& file, const std::wstring& queue, std::string* failure) const
{
    return Platform::ShellPrint(file, queue, failure);
}

Document::Document(const std::wstring& path)
    : impl(std::make_unique<DocumentImpl>()), path(path), queueManager(std::make_unique<QueueManager>())
{
}

Document::~Document()
{
    Join();
    queueManager->RestoreDefault();
    DeleteCopy();
}

bool Document::CanPrint() const
{
    return impl && impl->CanPrint(path);
}

bool Document::StartPrinting(const std::wstring& queue)
{
    queueName = queue;
    printOk = true;
    return ThreadStart(5);
}

bool Document::IsPostScript() const
{
    ZFileName name(path);
    ZString extension;
    return name.ReturnExt(extension) && extension.CompareI(ZString(L"ps"));
}

std::wstring Document::GetJobTag()
{
    PrepareCopyPath();
    return FileStem(copyPath);
}

bool Document::PrepareCopyPath()
{
    if (!copyPath.empty())
        return true;
    if (path.empty())
        return false;
    ZFileName name;
    if (!name.Set(path.c_str()))
        return false;
    std::wstring folder;
    if (!ZBaseStorage::TempDirPath(folder))
        return false;
    AppendPathDelimiter(folder);
    // Copies of hosts that were killed mid-capture go with the next capture.
    ZUtilities::RemoveAbandonedFiles(folder, PrintDirectSuffix());
    ZString extension;
    name.ReturnExt(extension);
    copyPath = folder + ZUtilities::GetUniqueFilePrefix(folder) + PrintDirectSuffix() + L"." + extension.Str();
    // Reserve the name, so that no other capture takes the same prefix.
    ZFileStream reserve;
    if (reserve.Open(ZFileStream::kCreate, ZString(copyPath)) == ZBASE_OK)
        reserve.Close();
    return false;
}

bool Document::PrintDocument(const std::wstring& queue)
{
    std::wstring file = path;
    ZFileName source;
    if (!source.Set(path.c_str()))
        return false;
    if (!ZFileStorage(source).Exists()) {
        if (failureReason.empty())
            failureReason = "the document " + ToUtf8(path) + " does not exist";
        return false;
    }
    if (PrepareCopyPath()) {
        ZFileName destination;
        if (!destination.Set(copyPath.c_str()))
            return false;
        // A failed copy is no error: the document is printed under its own name.
        if (ZFileStorage(source).Copy(destination, false) == ZBASE_OK)
            file = copyPath;
    }
    std::string failure;
    if (impl->ShellPrint(file, queue, &failure))
        return true;
    if (failureReason.empty())
        failureReason = failure;
    return false;
}

void Document::DeleteCopy()
{
    if (copyPath.empty())
        return;
    ZFileName name;
    if (name.Set(copyPath.c_str()) && ZFileStorage(name).Exists())
        ZFileStorage(name).Delete(false);
}

bool Document::JobMayStillCome(std::string& why)
{
    const std::wstring tag = FileStem(copyPath);
    ZPrintJob job;
    if (tag.empty())
        return true;
    if (!ZPrintQueue::FindJob(tag, job)) {
        why = "the print server went away while the job of " + ToUtf8(path) + " was on its way";
        return false;
    }
    const std::string message = job.message.empty() ? std::string() : ": " + job.message;
    switch (job.state) {
    case ZPrintJob::State::Missing:
        return true;  // not submitted yet, or printed to another server's queue
    case ZPrintJob::State::Waiting:
        if (!job.queuePaused)
            return true;
        why = "the print queue " + ToUtf8(job.queue) + " is paused; the job of " + ToUtf8(path) + " waits in it";
        return false;
    case ZPrintJob::State::Stopped:
        why = "the print server stopped the job of " + ToUtf8(path) + message;
        return false;
    case ZPrintJob::State::Ended:
        why = "the print server ended the job of " + ToUtf8(path) + " without handing it over" + message;
        return false;
    }
    return true;
}

void Document::CancelJob()
{
    const std::wstring tag = FileStem(copyPath);
    ZPrintJob job;
    if (!tag.empty() && ZPrintQueue::FindJob(tag, job) && job.state != ZPrintJob::State::Missing &&
        job.state != ZPrintJob::State::Ended)
        ZPrintQueue::CancelJob(job.id);
}

tagZBASESTAT Document::Run()
{
    // A host that died mid-capture left the virtual queue as the default.
    ZPrintQueue::RestoreAbandonedDefaults();
    tagZBASESTAT code = ZBASE_OK;
    if (PrintDocument(queueName))
        return ZBASE_OK;
    if (!queueManager->SelectQueue(queueName)) {
        printOk = false;
        code = static_cast<tagZBASESTAT>(5);
    }
    if (PrintDocument(std::wstring()))
        return code;
    printOk = false;
    return kNotPrinted;
}

}  // namespace Quillet
