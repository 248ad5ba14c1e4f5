// qvoffice: the office process. It loads the office suite into itself once
// and then lays out office documents as PDF, one after another, with the
// suite's own PDF export, for the library that started it.
//
//   qvoffice FOLDER SOFFICE
//
// FOLDER is the process's private folder (mode 0700, made by the library);
// the suite's profile is FOLDER/profile. SOFFICE is the suite's launcher as
// the library found it on PATH (links resolved; empty when there is none):
// the suite is loaded from its folder. The library starts this process
// confined: it writes only FOLDER, which is also its HOME and TMPDIR, reads
// the documents only as copies the library puts there, and opens no socket.
//
// It speaks the line protocol of capture/OfficeProtocol.h on standard input
// and output: "ready" once the suite has started and what it keeps from a
// first document is in place (WarmUp). After every document, done or failed,
// the configuration is written out: the library compares the folder with its
// state at "ready".
//
// The end of standard input (the library closed it, or its process is gone)
// ends this process at once, also in the middle of a document: a watch thread
// sees the hang-up. What the folder holds is removed then (the folder itself,
// which lies outside what it may change, goes with the library's clean-up).
// Descriptors 0 and 1 are the null device once the channels are taken over.
#define LOK_LOADLIB_GLOBAL
#include <LibreOfficeKit/LibreOfficeKit.h>
#include <LibreOfficeKit/LibreOfficeKitInit.h>

#include "capture/OfficeProtocol.h"

#include <com/sun/star/awt/Point.hpp>
#include <com/sun/star/awt/Size.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/configuration/theDefaultProvider.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/drawing/XDrawPage.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/drawing/XShape.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XFlushable.hpp>
#include <osl/file.hxx>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace css = com::sun::star;
namespace protocol = Quillet::OfficeProtocol;
using rtl::OUString;

namespace {

std::string folder;
// The library's channels, moved off descriptors 0 and 1 (and kept from the
// suite's own children), so that nothing else reads a request or writes
// into an answer.
FILE* requests = nullptr;
FILE* answers = nullptr;

[[noreturn]] void Leave(int code)
{
    // The watch thread and the main thread may both get here; the first one
    // removes the folder and ends the process, the second waits for that.
    static std::mutex leaving;
    leaving.lock();
    std::fflush(answers);
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    // No clean-up of the suite: its own shutdown is slow and may hang, and
    // nothing of it needs to survive.
    ::_exit(code);
}

// Ends the process once the library's end of standard input is gone, even
// while a document is being laid out. Polling for no event at all reports
// only the hang-up, so requests waiting to be read do not wake it.
void WatchLifeline()
{
    pollfd entry{::fileno(requests), 0, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, -1);
        if (ready > 0 && (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
            Leave(0);
        if (ready < 0 && errno != EINTR)
            Leave(1);
    }
}

void Send(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), answers);
    std::fflush(answers);
}

std::string Narrow(const OUString& text)
{
    return rtl::OUStringToOString(text, RTL_TEXTENCODING_UTF8).getStr();
}

// An exception's message without the suite's source location.
std::string Message(const css::uno::Exception& e)
{
    std::string text = Narrow(e.Message);
    const std::size_t at = text.find(" at ./");
    return at == std::string::npos ? text : text.substr(0, at);
}

OUString FileUrl(const std::string& path)
{
    OUString url;
    osl::FileBase::getFileURLFromSystemPath(rtl::OStringToOUString(path.c_str(), RTL_TEXTENCODING_UTF8), url);
    return url;
}

// Settings the profile starts with: no macro ever runs, and no lock file is
// written beside a PDF.
bool WriteProfileSettings(const std::string& profile)
{
    std::error_code error;
    std::filesystem::create_directories(profile + "/user", error);
    std::ofstream out(profile + "/user/registrymodifications.xcu");
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" "
           "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
           "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\">"
           "<prop oor:name=\"DisableMacrosExecution\" oor:op=\"fuse\"><value>true</value></prop></item>\n"
           "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\">"
           "<prop oor:name=\"MacroSecurityLevel\" oor:op=\"fuse\"><value>3</value></prop></item>\n"
           "<item oor:path=\"/org.openoffice.Office.Common/Misc\">"
           "<prop oor:name=\"UseLocking\" oor:op=\"fuse\"><value>false</value></prop></item>\n"
           "</oor:items>\n";
    return static_cast<bool>(out);
}

css::beans::PropertyValue Property(const char* name, const css::uno::Any& value)
{
    css::beans::PropertyValue property;
    property.Name = OUString::createFromAscii(name);
    property.Value = value;
    return property;
}

// The suite's PDF export filter for the kind of document loaded.
const char* PdfFilter(const css::uno::Reference<css::lang::XComponent>& document)
{
    const css::uno::Reference<css::lang::XServiceInfo> info(document, css::uno::UNO_QUERY);
    if (!info.is())
        return nullptr;
    const struct {
        const char* service;
        const char* filter;
    } kinds[] = {
        {"com.sun.star.text.WebDocument", "writer_web_pdf_Export"},
        {"com.sun.star.text.GenericTextDocument", "writer_pdf_Export"},
        {"com.sun.star.sheet.SpreadsheetDocument", "calc_pdf_Export"},
        {"com.sun.star.presentation.PresentationDocument", "impress_pdf_Export"},
        {"com.sun.star.drawing.DrawingDocument", "draw_pdf_Export"},
        {"com.sun.star.formula.FormulaProperties", "math_pdf_Export"},
    };
    for (const auto& kind : kinds)
        if (info->supportsService(OUString::createFromAscii(kind.service)))
            return kind.filter;
    return nullptr;
}

// The most memory the process has held resident so far. Asked of the system
// directly: /proc, where the current figure is, is closed to the process.
std::uint64_t ResidentBytes()
{
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes what the configuration holds in memory to the profile now, rather
// than a moment later from a timer of the suite's: the library compares the
// profile after each document with its state before, and a change that
// reached the disk only later would be missed.
void FlushConfiguration(const css::uno::Reference<css::uno::XComponentContext>& context)
{
    try {
        const css::uno::Reference<css::util::XFlushable> configuration(
            css::configuration::theDefaultProvider::get(context), css::uno::UNO_QUERY);
        if (configuration.is())
            configuration->flush();
    } catch (const css::uno::Exception&) {
        // Nothing written: the library then sees the profile as it was.
    }
}

// The suite's own lock of its user interface, held by this thread across a
// document's load, export and close. Loaded this way, the suite runs its
// main loop on a thread of its own, which would otherwise handle what the
// loaded document's view asked for in between: for a text document with
// comments, windows built from user-interface files that the suite's
// packages without a user interface do not ship, and the suite ends when one
// is missing. The suite's own converter holds the lock in the same way.
class UserInterfaceLock {
public:
    UserInterfaceLock()
    {
        using Acquire = void (*)(std::uint32_t);
        static const auto acquire =
            reinterpret_cast<Acquire>(::dlsym(RTLD_DEFAULT, "_ZN11Application17AcquireSolarMutexEj"));
        if (acquire != nullptr)
            acquire(1);
        held = acquire != nullptr;
    }
    ~UserInterfaceLock()
    {
        using Release = std::uint32_t (*)();
        static const auto release =
            reinterpret_cast<Release>(::dlsym(RTLD_DEFAULT, "_ZN11Application17ReleaseSolarMutexEv"));
        if (held && release != nullptr)
            release();
    }
    UserInterfaceLock(const UserInterfaceLock&) = delete;
    UserInterfaceLock& operator=(const UserInterfaceLock&) = delete;

private:
    bool held = false;
};

// Names of the pictures the suite opens as a drawing: its page is sized by
// FitPageToPicture, as the picture gives it.
bool IsPicture(const OUString& url)
{
    for (const char* extension : {".png", ".jpg", ".jpeg", ".tif", ".tiff", ".gif", ".svg"})
        if (url.endsWithIgnoreAsciiCase(OUString::createFromAscii(extension)))
            return true;
    return false;
}

// The suite opens a raster picture as a drawing whose page is its default
// paper, with the picture shrunk to fit inside its margins. The page takes
// the picture's own size instead (from its resolution; at the suite's
// screen resolution when it gives none), with no margin, and the picture
// fills it, so that a page renders as the picture would print. A drawing of
// anything else than one picture (an SVG the suite opened as its own shapes,
// already on a page of their size) is left as loaded.
void FitPageToPicture(const css::uno::Reference<css::lang::XComponent>& document)
{
    const css::uno::Reference<css::drawing::XDrawPagesSupplier> supplier(document, css::uno::UNO_QUERY);
    if (!supplier.is() || supplier->getDrawPages()->getCount() != 1)
        return;
    const css::uno::Reference<css::drawing::XDrawPage> page(supplier->getDrawPages()->getByIndex(0),
                                                            css::uno::UNO_QUERY);
    if (!page.is() || page->getCount() != 1)
        return;
    const css::uno::Reference<css::drawing::XShape> shape(page->getByIndex(0), css::uno::UNO_QUERY);
    const css::uno::Reference<css::beans::XPropertySet> shapeProperties(shape, css::uno::UNO_QUERY);
    const css::uno::Reference<css::beans::XPropertySet> pageProperties(page, css::uno::UNO_QUERY);
    if (!shape.is() || !shapeProperties.is() || !pageProperties.is() ||
        !shapeProperties->getPropertySetInfo()->hasPropertyByName("Graphic"))
        return;
    const css::uno::Reference<css::beans::XPropertySet> graphic(shapeProperties->getPropertyValue("Graphic"),
                                                                css::uno::UNO_QUERY);
    css::awt::Size size;
    if (!graphic.is() || !(graphic->getPropertyValue("Size100thMM") >>= size) || size.Width <= 0 ||
        size.Height <= 0) {
        // No resolution in the picture: its pixels at the suite's 96 per inch.
        css::awt::Size pixels;
        if (!graphic.is() || !(graphic->getPropertyValue("SizePixel") >>= pixels) || pixels.Width <= 0 ||
            pixels.Height <= 0)
            return;
        const auto at96 = [](sal_Int32 count) {
            return static_cast<sal_Int32>(std::min<std::int64_t>(std::int64_t{count} * 2540 / 96, SAL_MAX_INT32));
        };
        size = css::awt::Size(at96(pixels.Width), at96(pixels.Height));
    }
    for (const char* border : {"BorderLeft", "BorderRight", "BorderTop", "BorderBottom"})
        pageProperties->setPropertyValue(OUString::createFromAscii(border), css::uno::Any(sal_Int32(0)));
    pageProperties->setPropertyValue("Width", css::uno::Any(size.Width));
    pageProperties->setPropertyValue("Height", css::uno::Any(size.Height));
    shape->setPosition(css::awt::Point(0, 0));
    shape->setSize(size);
}

// Loads url hidden and read-only, with no macro and no link update, and
// stores it as pdf through the suite's own export (and, for a text document,
// as a template at templ when given). Empty when done, else the reason it
// failed, naming the document as name.
std::string LayOut(const css::uno::Reference<css::frame::XDesktop2>& desktop, const OUString& url,
                   const std::string& name, const std::string& pdf, const std::string& templ = std::string())
{
    const UserInterfaceLock userInterface;
    // HTML is loaded as a text document: as a web page, its layout begins
    // with a blank page whenever the body holds more than one paragraph.
    const bool html = url.endsWithIgnoreAsciiCase(".html") || url.endsWithIgnoreAsciiCase(".htm");
    css::uno::Sequence<css::beans::PropertyValue> load(html ? 5 : 4);
    css::beans::PropertyValue* loadArgs = load.getArray();
    loadArgs[0] = Property("Hidden", css::uno::Any(true));
    loadArgs[1] = Property("ReadOnly", css::uno::Any(true));
    loadArgs[2] = Property("MacroExecutionMode", css::uno::Any(css::document::MacroExecMode::NEVER_EXECUTE));
    loadArgs[3] = Property("UpdateDocMode", css::uno::Any(css::document::UpdateDocMode::NO_UPDATE));
    if (html)
        loadArgs[4] = Property("FilterName", css::uno::Any(OUString("HTML (StarWriter)")));
    css::uno::Reference<css::lang::XComponent> component;
    try {
        component = desktop->loadComponentFromURL(url, "_blank", 0, load);
    } catch (const css::uno::Exception& e) {
        return "LibreOffice cannot load " + name + ": " + Message(e);
    }
    if (!component.is())
        return "LibreOffice cannot load " + name;
    std::string failure;
    if (IsPicture(url)) {
        try {
            FitPageToPicture(component);
        } catch (const css::uno::Exception& e) {
            failure = "LibreOffice cannot size the page of " + name + ": " + Message(e);
        }
    }
    const char* filter = PdfFilter(component);
    if (failure.empty() && filter == nullptr) {
        failure = "LibreOffice cannot export " + name + " as PDF";
    } else if (failure.empty()) {
        try {
            css::uno::Sequence<css::beans::PropertyValue> store(1);
            store.getArray()[0] = Property("FilterName", css::uno::Any(OUString::createFromAscii(filter)));
            const css::uno::Reference<css::frame::XStorable> storable(component, css::uno::UNO_QUERY_THROW);
            storable->storeToURL(FileUrl(pdf), store);
            if (!templ.empty()) {
                store.getArray()[0].Value <<= OUString::createFromAscii("writer8_template");
                storable->storeToURL(FileUrl(templ), store);
            }
        } catch (const css::uno::Exception& e) {
            failure = "LibreOffice cannot export " + name + " as PDF: " + Message(e);
        }
    }
    try {
        const css::uno::Reference<css::util::XCloseable> closeable(component, css::uno::UNO_QUERY);
        if (closeable.is())
            closeable->close(true);
        else
            component->dispose();
    } catch (const css::uno::Exception&) {
        // Closed as far as it goes; the next document does not depend on it.
    }
    return failure;
}

// What the suite sets up on its first document of a kind and keeps (the
// settings of its views, its certificate store, the index of the installed
// templates that it builds when it first loads a template) is set up here,
// before the process says it is ready: on a new empty text document, and on
// that document stored and loaded again as a template. So the profile the
// first document of the library's finds is the one every later document
// finds, and a first document that changes nothing is seen to change
// nothing.
void WarmUp(const css::uno::Reference<css::uno::XComponentContext>& context,
            const css::uno::Reference<css::frame::XDesktop2>& desktop)
{
    const std::string pdf = folder + "/out/warm-up.pdf";
    const std::string templ = folder + "/out/warm-up.ott";
    LayOut(desktop, "private:factory/swriter", "a new document", pdf, templ);
    LayOut(desktop, FileUrl(templ), "a template", pdf);
    std::error_code error;
    std::filesystem::remove(pdf, error);
    std::filesystem::remove(templ, error);
    FlushConfiguration(context);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || argv[1][0] != '/') {
        std::fprintf(stderr, "usage: qvoffice FOLDER SOFFICE\n");
        return 2;
    }
    folder = argv[1];
    const int in = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    const int out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (in < 0 || out < 0 || null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(null, STDOUT_FILENO) < 0)
        return 1;
    ::close(null);
    requests = ::fdopen(in, "r");
    answers = ::fdopen(out, "w");
    if (requests == nullptr || answers == nullptr)
        return 1;
    std::thread(WatchLifeline).detach();

    const std::string program = std::filesystem::path(argv[2]).parent_path().string();
    if (argv[2][0] != '/') {
        Send(protocol::ErrorReply("LibreOffice is not installed (soffice is not on PATH)"));
        Leave(1);
    }
    const std::string profile = folder + "/profile";
    if (!WriteProfileSettings(profile)) {
        Send(protocol::ErrorReply("the profile cannot be written in " + folder));
        Leave(1);
    }
    const std::string profileUrl = Narrow(FileUrl(profile));
    LibreOfficeKit* office = lok_init_2(program.c_str(), profileUrl.c_str());
    if (office == nullptr) {
        Send(protocol::ErrorReply("LibreOffice cannot be started from " + program));
        Leave(1);
    }
    // The suite ignores the signal of a write past the file size limit, and
    // would go on without the file (an embedded object dropped, a document
    // handed out incomplete). The system's default ends the process, which
    // the library names as the run's byte limit.
    ::signal(SIGXFSZ, SIG_DFL);
    // The suite runs inside this process now; its component context is the
    // process's own, reached through the suite's exported accessor.
    using GetContext = css::uno::Reference<css::uno::XComponentContext> (*)();
    const auto getContext =
        reinterpret_cast<GetContext>(::dlsym(RTLD_DEFAULT, "_ZN10comphelper26getProcessComponentContextEv"));
    css::uno::Reference<css::uno::XComponentContext> context;
    css::uno::Reference<css::frame::XDesktop2> desktop;
    try {
        if (getContext != nullptr)
            context = getContext();
        if (context.is())
            desktop = css::frame::Desktop::create(context);
    } catch (const css::uno::Exception&) {
    }
    if (!desktop.is()) {
        Send(protocol::ErrorReply("LibreOffice started without its desktop service"));
        Leave(1);
    }
    WarmUp(context, desktop);
    Send(protocol::ReadyReply());

    char* line = nullptr;
    std::size_t capacity = 0;
    while (::getline(&line, &capacity, requests) > 0) {
        std::string request(line);
        if (!request.empty() && request.back() == '\n')
            request.pop_back();
        std::string document, pdf;
        if (!protocol::ParseConvertRequest(request, document, pdf)) {
            Send(protocol::FailedReply("unknown request"));
            continue;
        }
        const std::string failure = LayOut(desktop, FileUrl(document), BaseName(document), pdf);
        FlushConfiguration(context);
        Send(failure.empty() ? protocol::DoneReply(ResidentBytes())
                             : protocol::FailedReply(failure));
    }
    std::free(line);
    Leave(0);
}
