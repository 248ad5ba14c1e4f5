// Tests of document printing (Document, DocumentImpl) and of whole captures:
// a document printed to the virtual queue of the private print server comes
// back as a PostScript job over the key endpoint.
#include "TestSupport.h"
#include "support/PrivateCups.h"

#include "capture/Document.h"
#include "capture/JobInfo.h"
#include "capture/KeyAccessor.h"
#include "capture/QueueManager.h"
#include "platform/ChildProcess.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZIpcServer.h"
#include "platform/ZPrintQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace Quillet;
namespace fs = std::filesystem;

namespace {

std::string TempFolder()
{
    std::wstring folder;
    ZBaseStorage::TempDirPath(folder);
    return ToUtf8(folder);
}

/// A scratch folder under the build tree, removed afterwards.
struct Scratch {
    Scratch()
    {
        path = std::string(QUILLET_BINARY_DIR) + "/capture-test-" + std::to_string(::getpid());
        fs::create_directories(path);
    }
    ~Scratch()
    {
        std::error_code error;
        fs::remove_all(path, error);
    }
    std::string Write(const std::string& name, const std::string& text) const
    {
        const std::string file = path + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        return file;
    }
    std::string path;
};

/// What one capture gave.
struct Capture {
    bool keysArrived = false;
    tagZBASESTAT printStatus = ZBASE_FAILED;
    bool printOk = false;
    std::wstring keys;
    std::wstring tag;
    std::string jobHead;    // the first bytes of the job the keys name
    std::string spoolFile;
};

/// Prints document to queue and serves the key endpoint meanwhile, as the
/// engine does; then reads the start of the job.
Capture CaptureDocument(const std::string& document, const std::wstring& queue)
{
    Capture result;
    Document printer(FromUtf8(document));
    result.tag = printer.GetJobTag();
    KeyAccessor server(result.tag);
    if (!server.Start())
        return result;
    printer.queueName = queue;
    printer.printOk = true;
    if (!printer.ThreadStart(5))
        return result;
    ZSynchManager waiter;
    waiter.AddSynchObject(&server);
    if (waiter.WaitForTrigger(false, 20000) == ZBASE_OK && server.succeeded) {
        result.keysArrived = true;
        result.keys = server.keys;
        JobInfo job(L"");
        job.Parse(server.keys);
        result.spoolFile = ToUtf8(job.GetPrintJobFile());
        // Open before the final reply's effect could remove the name.
        const Platform::NativeHandle source = job.OpenDataSource();
        const unsigned char yes = 1;
        server.server->Send(&yes, 1);
        if (source != Platform::kInvalidHandle) {
            char buffer[64];
            std::size_t count = 0;
            Platform::ReadSource(source, buffer, sizeof buffer, count);
            result.jobHead.assign(buffer, count);
        }
    }
    printer.Join();
    result.printStatus = printer.GetExitStatus();
    result.printOk = printer.printOk;
    return result;
}

bool WaitUntilGone(const std::string& path)
{
    for (int i = 0; i < 400; ++i) {
        if (!fs::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

}  // namespace

TEST(CaptureTest, WhichDocumentsArePrintedAndHow)
{
    EXPECT_TRUE(Document(L"/w/a.ps").IsPostScript());
    EXPECT_TRUE(Document(L"/w/a.PS").IsPostScript());
    EXPECT_FALSE(Document(L"/w/a.eps").IsPostScript());
    EXPECT_FALSE(Document(L"/w/a").IsPostScript());

    DocumentImpl impl;
    for (const wchar_t* refused : {L"x.cdr", L"x.CDR", L"y.indd", L"/w.d/noext", L"dot."})
        EXPECT_FALSE(impl.CanPrint(refused)) << ToUtf8(refused);
    for (const wchar_t* allowed : {L"x.c", L"x.in", L"x.doc", L"x.txt"})
        EXPECT_TRUE(impl.CanPrint(allowed)) << ToUtf8(allowed);
}

TEST(CaptureTest, TaggedCopyIsReservedOnceAndDeletedWithTheDocument)
{
    const std::string temp = TempFolder();
    std::wstring tag, copy;
    {
        Document document(L"/some/where/r.doc");
        tag = document.GetJobTag();
        copy = document.copyPath;
        ASSERT_FALSE(tag.empty());
        EXPECT_EQ(copy, FromUtf8(temp) + tag + L".doc");
        EXPECT_EQ(tag.substr(tag.size() - 15), L".QV_PrintDirect");
        EXPECT_TRUE(fs::exists(ToUtf8(copy)));
        EXPECT_EQ(fs::file_size(ToUtf8(copy)), 0u);
        EXPECT_EQ(document.GetJobTag(), tag);   // no second reservation
        EXPECT_TRUE(document.PrepareCopyPath());
    }
    EXPECT_FALSE(fs::exists(ToUtf8(copy)));

    Document longer(L"/w/p.xhtml");
    const std::wstring longTag = longer.GetJobTag();
    EXPECT_EQ(longTag.substr(longTag.size() - 21), L".QV_PrintDirect.xhtml");
    // A missing document is not printed: both attempts fail.
    longer.queueName = L"QV Page Glance";
    ASSERT_TRUE(longer.ThreadStart(5));
    longer.Join();
    EXPECT_EQ(longer.GetExitStatus(), 4);
    EXPECT_FALSE(longer.printOk);
}

TEST(CaptureTest, TextAndPdfComeBackAsPostScriptJobs)
{
    QUILLET_REQUIRE_CUPS(cups);
    Scratch scratch;
    const std::string text = scratch.Write("notes with space \xC3\xA9.txt", "Hello capture\nsecond line\n");
    const std::string ps = scratch.Write("page.ps", "%!PS\n/Helvetica findfont 24 scalefont setfont\n"
                                                    "72 700 moveto (PDF page) show showpage\n");
    const std::string pdf = scratch.path + "/page.pdf";
    ASSERT_EQ(QuilletTest::PrivateCups::Run({L"gs", L"-q", L"-dBATCH", L"-dNOPAUSE", L"-dSAFER",
                                             L"-sDEVICE=pdfwrite", FromUtf8("-sOutputFile=" + pdf),
                                             FromUtf8(ps)}), 0);
    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));

    for (const std::string& document : {text, pdf}) {
        const Capture capture = CaptureDocument(document, L"QV Page Glance");
        ASSERT_TRUE(capture.keysArrived) << document << "\n" << cups->ErrorLog();
        EXPECT_EQ(capture.printStatus, ZBASE_OK);
        EXPECT_TRUE(capture.printOk);
        EXPECT_NE(capture.keys.find(capture.tag), std::wstring::npos);
        EXPECT_EQ(capture.jobHead.substr(0, 2), "%!") << document;
        EXPECT_EQ(capture.spoolFile.rfind(cups->SpoolFolder(), 0), 0u) << capture.spoolFile;
        // The backend removes the spool file once the capture has opened it.
        EXPECT_TRUE(WaitUntilGone(capture.spoolFile));
    }
}

TEST(CaptureTest, FallsBackToTheDefaultQueue)
{
    QUILLET_REQUIRE_CUPS(cups);
    Scratch scratch;
    const std::string text = scratch.Write("fallback.txt", "through the default queue\n");
    ASSERT_TRUE(cups->AddQueue("Other_Queue", "Other Queue"));
    ASSERT_TRUE(ZPrintQueue::SetDefaultPrintQueue(L"QV_Page_Glance"));
    // "printto" to a queue that does not exist fails, the switch fails too,
    // "print" still reaches the default: exit code 5, printOk false.
    const Capture capture = CaptureDocument(text, L"No Such Queue");
    EXPECT_TRUE(capture.keysArrived) << cups->ErrorLog();
    EXPECT_EQ(capture.printStatus, 5);
    EXPECT_FALSE(capture.printOk);
    EXPECT_EQ(ZPrintQueue::GetDefaultPrintQueue(), L"QV_Page_Glance");
}

// One whole capture of the document argv[0]; 0 when the job came back.
QUILLET_TEST_HELPER(capture_document)
{
    const Capture capture = CaptureDocument(argv[0], L"QV Page Glance");
    return capture.keysArrived && capture.jobHead.rfind("%!", 0) == 0 ? 0 : 1;
}

TEST(CaptureTest, TwoProcessesCaptureAtOnce)
{
    QUILLET_REQUIRE_CUPS(cups);
    Scratch scratch;
    Platform::ChildProcess children[2];
    for (int i = 0; i < 2; ++i) {
        const std::string text = scratch.Write("doc" + std::to_string(i) + ".txt", "document " + std::to_string(i));
        ASSERT_TRUE(Platform::ChildProcess::Spawn(
            {FromUtf8(QuilletTest::SelfPath()), L"--quillet-helper", L"capture_document", FromUtf8(text)}, {},
            Platform::kInvalidHandle, Platform::kInvalidHandle, 2, children[i]));
    }
    for (auto& child : children) {
        int code = -1;
        ASSERT_TRUE(child.Wait(60000, code));
        EXPECT_EQ(code, 0) << cups->ErrorLog();
    }
}
