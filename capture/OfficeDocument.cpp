// OfficeDocument: the PDF of an office document, in a private folder of its own.
#include "capture/OfficeDocument.h"

#include "capture/OfficePool.h"
#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

namespace Quillet {

OfficeDocument::OfficeDocument(const std::wstring& path) : path(path) {}

bool OfficeDocument::Convert(OfficePool& pool, const OfficeRunBounds& run, std::string& failure)
{
    const std::string name = ToUtf8(path);
    unsigned long long size = 0;
    if (!ZFileStorage(ZString(path)).GetSize(size)) {
        failure = "the document " + name + " does not exist";
        return false;
    }
    // The suite would open an empty file as a new, blank document.
    if (size == 0) {
        failure = "LibreOffice cannot load " + ToUtf8(Platform::FileNameOf(path)) + ": the file is empty";
        return false;
    }
    // In a folder of this process alone: the PDF holds the document's content.
    folder = Platform::PrivateFolder(L"qvpdf");
    if (!folder.IsValid()) {
        failure = "no private folder can be made for the PDF of " + name;
        return false;
    }
    const std::wstring target = Platform::JoinPath({folder.GetPath(), L"document.pdf"});
    if (!pool.Convert(path, target, run, failure))
        return false;
    pdf = target;
    return true;
}

}  // namespace Quillet
