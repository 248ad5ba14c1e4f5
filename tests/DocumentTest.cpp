// Tests of documents that need no printing: PDF and EPS documents rendered by
// Ghostscript from the file itself, with no print server, at their own page
// sizes; broken and encrypted PDFs.
#include "DocumentSupport.h"
#include "support/ScopedEnv.h"

#include "engine/RIPEngine.h"
#include "platform/TextConversion.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace Quillet;
using QuilletTest::PageSizes;
namespace fs = std::filesystem;

namespace {

// Pages of the given sizes in points, each with a line of text. The text
// is the same on each page, so that equal sizes give equal page files.
std::string PagesOf(const std::vector<std::pair<int, int>>& sizes)
{
    std::string ps = "%!PS\n/Helvetica findfont 20 scalefont setfont\n";
    for (const auto& [width, height] : sizes)
        ps += "<< /PageSize [" + std::to_string(width) + " " + std::to_string(height) +
              "] >> setpagedevice 40 40 moveto (same text) show showpage\n";
    return ps;
}

}  // namespace

TEST(DocumentTest, PdfAndEpsRenderAtTheirOwnPageSizesWithoutAPrintServer)
{
    QuilletTest::DocumentScratch scratch("documents");
    QuilletTest::ScopedEnv noServer("CUPS_SERVER", "/nonexistent/cups.sock");
    struct Case {
        const char* name;
        std::string source;  // PostScript made into a PDF, or the EPS itself
        PageSizes pages;     // at 72 dpi
        int orientation;     // the job's
        std::vector<int> orientations;  // each page's, by its shape
    };
    const Case cases[] = {
        {"a4.pdf", PagesOf({{595, 842}}), {{595, 842}}, 1, {1}},
        // Recognised by its content, whatever its name says.
        {"letter.txt", PagesOf({{612, 792}}), {{612, 792}}, 1, {1}},
        {"landscape.pdf", PagesOf({{842, 595}, {842, 595}}), {{842, 595}, {842, 595}}, 2, {2, 2}},
        {"mixed.pdf", PagesOf({{595, 842}, {612, 792}, {842, 595}}), {{595, 842}, {612, 792}, {842, 595}}, 1,
         {1, 1, 2}},
        {"picture.eps", "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 10 20 210 120\n"
                        "10 20 moveto 200 100 rlineto stroke\n", {{200, 100}}, 2, {2}},
    };
    for (const Case& c : cases) {
        const std::string document = scratch.path + "/" + c.name;
        if (std::string(c.name).find(".eps") != std::string::npos)
            scratch.Write(c.name, c.source);
        else
            ASSERT_TRUE(QuilletTest::MakePdf(scratch.Write(std::string(c.name) + ".ps", c.source), document));
        const QuilletTest::Rendered rendered =
            QuilletTest::Render(FromUtf8(document), scratch.path + "/out-" + c.name);
        EXPECT_EQ(rendered.reason, "") << c.name;
        // Equal pages of a document are its own, never copies.
        EXPECT_EQ(rendered.pages, c.pages) << c.name;
        EXPECT_EQ(rendered.copies, 1) << c.name;
        EXPECT_EQ(rendered.orientation, c.orientation) << c.name;
        EXPECT_EQ(rendered.orientations, c.orientations) << c.name;
    }
}

TEST(DocumentTest, BrokenAndEncryptedPdfsFailWithGhostscriptsReason)
{
    QuilletTest::DocumentScratch scratch("pdf-failures");
    const std::string secret = "pass word (\\)";
    const std::string locked = scratch.path + "/locked.pdf";
    const std::string ps = scratch.Write("three.ps", PagesOf({{300, 300}, {300, 300}, {300, 300}}));
    ASSERT_TRUE(QuilletTest::MakePdf(ps, locked, {"-sOwnerPassword=owner", "-sUserPassword=" + secret}));
    const std::string whole = QuilletTest::ReadWholeFile(locked);
    const std::string broken = scratch.Write("broken.pdf", whole.substr(0, 400));

    const struct {
        std::wstring params;
        std::string reason;  // the start of the failure's reason; empty: renders
    } cases[] = {
        {FromUtf8(locked), "the document cannot be read: This file requires a password for access"},
        {L"docname=\"" + FromUtf8(locked) + L"\" password=wrong", "the document cannot be read: Password did not"},
        {FromUtf8(broken), "the document cannot be read: Couldn't initialise file"},
        {L"docname=\"" + FromUtf8(locked) + L"\" password=\"" + FromUtf8(secret) + L"\"", ""},
    };
    for (const auto& c : cases) {
        IRIPBase* service = nullptr;
        const QuilletTest::Rendered rendered = QuilletTest::Render(c.params, scratch.path + "/out", &service);
        EXPECT_EQ(rendered.reason.substr(0, c.reason.size()), c.reason) << rendered.reason;
        EXPECT_EQ(rendered.pages.size(), c.reason.empty() ? 3u : 0u) << ToUtf8(c.params);
        // The password reaches Ghostscript on its input and the document as
        // a handle, neither on its command line.
        std::vector<std::wstring> args;
        static_cast<RIPEngine*>(service)->BuildGhostscriptArgs(args);
        const std::string file = c.params.find(L"broken") == std::wstring::npos ? locked : broken;
        for (const std::wstring& arg : args)
            EXPECT_TRUE(arg.find(L"pass word") == std::wstring::npos && arg.find(FromUtf8(file)) == std::wstring::npos);
        service->Release();
    }
}
