// GetDocumentKind: a look at the document's first bytes and its extension.
#include "capture/DocumentKind.h"

#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

#include <cstring>

namespace Quillet {

namespace {

// Documents the office suite lays out: its own kinds; text, CSV and HTML,
// which it lays out as a page (on the default paper: they give none); and
// pictures, each on a page of the picture's own size.
const wchar_t* const kOfficeExtensions[] = {
    L"doc", L"docx", L"docm", L"dot", L"dotx", L"odt", L"ott", L"fodt", L"rtf", L"wpd",
    L"xls", L"xlsx", L"xlsm", L"ods", L"ots", L"fods", L"ppt", L"pptx", L"pps", L"ppsx", L"odp", L"otp", L"fodp",
    L"odg", L"otg", L"vsd", L"vsdx", L"pub", L"txt", L"csv", L"html", L"htm",
    L"png", L"jpg", L"jpeg", L"tif", L"tiff", L"gif", L"svg",
};

// PDF allows bytes before its header; readers look this far for it.
constexpr std::size_t kHeaderWindow = 1024;

bool IsEps(const std::string& head)
{
    // The binary form starts with its own magic number; the text form's first
    // line names the EPSF version ("%!PS-Adobe-3.0 EPSF-3.0").
    if (head.compare(0, 4, "\xC5\xD0\xD3\xC6") == 0)
        return true;
    if (head.compare(0, 11, "%!PS-Adobe-") != 0)
        return false;
    const std::string firstLine = head.substr(0, head.find_first_of("\r\n"));
    return firstLine.find(" EPSF-") != std::string::npos;
}

}  // namespace

DocumentKind GetDocumentKind(const std::wstring& path)
{
    std::string head(kHeaderWindow, '\0');
    std::size_t count = 0;
    ZFileStream stream;
    if (stream.Open(ZFileStream::kRead, ZString(path)) == ZBASE_OK &&
        stream.Read(head.data(), head.size(), count) == ZBASE_OK) {
        head.resize(count);
        if (IsEps(head))
            return DocumentKind::Eps;
        // PostScript that mentions the PDF header early stays PostScript.
        if (head.compare(0, 2, "%!") != 0 && head.find("%PDF-") != std::string::npos)
            return DocumentKind::Pdf;
    }
    ZFileName name(path);
    ZString extension;
    if (name.ReturnExt(extension))
        for (const wchar_t* office : kOfficeExtensions)
            if (extension.CompareI(ZString(office)))
                return DocumentKind::Office;
    return DocumentKind::Printed;
}

}  // namespace Quillet
