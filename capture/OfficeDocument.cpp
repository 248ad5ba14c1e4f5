// OfficeDocument: the PDF of an office document, named and removed here.
#include "capture/OfficeDocument.h"

#include "capture/OfficePool.h"
#include "capture/OfficeProcess.h"
#include "platform/PrivateFolder.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"

namespace Quillet {

OfficeDocument::OfficeDocument(const std::wstring& path) : path(path) {}

OfficeDocument::~OfficeDocument()
{
    if (!pdf.empty())
        ZFileStorage(ZString(pdf)).Delete(false);
}

bool OfficeDocument::Convert(OfficePool& pool, std::string& failure)
{
    const std::string name = ToUtf8(path);
    unsigned long long size = 0;
    if (!ZFileStorage(ZString(path)).GetSize(size)) {
        failure = "the document " + name + " does not exist";
        return false;
    }
    // The suite would open an empty file as a new, blank document.
    if (size == 0) {
        failure = "LibreOffice cannot load " + name.substr(name.find_last_of('/') + 1) + ": the file is empty";
        return false;
    }
    // In this user's own folder: the PDF holds the document's content.
    const std::wstring folder = Platform::UserTempFolder();
    if (folder.empty()) {
        failure = "this user's folder in the temporary folder cannot be made";
        return false;
    }
    const std::wstring target =
        folder + ZUtilities::GetUniqueFilePrefix(folder) + kOfficeFileMarker + std::wstring(L".pdf");
    if (!pool.Convert(path, target, failure))
        return false;
    pdf = target;
    return true;
}

}  // namespace Quillet
