// Rendering a document through a fresh service and reading back the sizes of
// its pages, for the tests of documents that keep their own page sizes.
#pragma once

#include "TestSupport.h"
#include "support/Files.h"
#include "support/PrivateCups.h"

#include "platform/TextConversion.h"

#include <quillet/quillet.h>

#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace QuilletTest {

using PageSizes = std::vector<std::pair<int, int>>;

/// A scratch folder under the build tree.
struct DocumentScratch : ScratchFolder {
    explicit DocumentScratch(const std::string& name) : ScratchFolder(name, QUILLET_BINARY_DIR) {}
};

/// Runs the PostScript file ps through Ghostscript's device into out.
inline bool RunGhostscript(const std::string& device, const std::string& ps, const std::string& out,
                           const std::vector<std::string>& extra = {})
{
    std::vector<std::wstring> argv = {L"gs", L"-q", L"-dBATCH", L"-dNOPAUSE", L"-dSAFER",
                                      Quillet::FromUtf8("-sDEVICE=" + device),
                                      Quillet::FromUtf8("-sOutputFile=" + out)};
    for (const std::string& arg : extra)
        argv.push_back(Quillet::FromUtf8(arg));
    argv.push_back(Quillet::FromUtf8(ps));
    return PrivateCups::Run(argv) == 0;
}

inline bool MakePdf(const std::string& ps, const std::string& pdf, const std::vector<std::string>& extra = {})
{
    return RunGhostscript("pdfwrite", ps, pdf, extra);
}

/// Width and height of a PNG file from its header; {0, 0} when it is none.
inline std::pair<int, int> PngSize(const std::string& path)
{
    const std::string head = ReadWholeFile(path).substr(0, 24);
    if (head.size() < 24 || head.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto number = [&head](std::size_t at) {
        int value = 0;
        for (std::size_t i = at; i < at + 4; ++i)
            value = value * 256 + static_cast<unsigned char>(head[i]);
        return value;
    };
    return {number(16), number(20)};
}

/// The office process of the build tree.
inline std::wstring OfficeProgram()
{
    return Quillet::FromUtf8(QUILLET_BINARY_DIR "/libexec/quillet/qvoffice");
}

/// Whether office documents can be laid out here; why not in whyNot.
inline bool CanRunOffice(std::string& whyNot)
{
    if (::access(Quillet::ToUtf8(OfficeProgram()).c_str(), X_OK) != 0)
        whyNot = "qvoffice is not built (it needs libreofficekit-dev and libreoffice-dev)";
    else if (PrivateCups::Run({L"sh", L"-c", L"command -v soffice"}) != 0)
        whyNot = "LibreOffice is not installed (scripts/setup.sh installs it)";
    return whyNot.empty();
}

/// What one rendering gave.
struct Rendered {
    bool started = false;  // what StartRIP said
    PageSizes pages;
    int copies = -1;
    int orientation = 0;            // the job's
    std::vector<int> orientations;  // each page's
    std::string reason;  // the failure's, when StartRIP or the run failed
};

/// Renders params (a service parameter string) as png16m pages at 72 dpi into
/// folder. The service is released, or handed to the caller in keep.
inline Rendered Render(const std::wstring& params, const std::string& folder,
                       Quillet::IRIPBase** keep = nullptr, int resolution = 72)
{
    Rendered result;
    Quillet::IRIPBase* service = Quillet::CreateRIPService(params);
    if (service == nullptr) {
        result.reason = "no service";
        return result;
    }
    service->SetOutputFolder(Quillet::FromUtf8(folder));
    service->SetOutputFormat(Quillet::RIP_PNG16M);
    service->SetResolution(resolution);
    result.started = service->StartRIP();
    if (result.started) {
        Quillet::BitmapFile page;
        for (int n = 1; service->GetPage(n, page); ++n) {
            result.pages.push_back(PngSize(Quillet::ToUtf8(page.GetFilePath())));
            result.orientations.push_back(page.Orientation());
        }
        result.copies = service->GetNumCopies();
        result.orientation = service->GetOrientation();
    }
    Quillet::RIPFailure failure;
    if (Quillet::GetRIPStatus(service)->GetLastFailure(failure))
        result.reason = Quillet::ToUtf8(failure.reason);
    if (keep != nullptr)
        *keep = service;
    else
        service->Release();
    return result;
}

}  // namespace QuilletTest
