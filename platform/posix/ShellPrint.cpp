// ShellPrint on POSIX: submits the file to a CUPS queue with libcups; the
// formats CUPS cannot convert are first laid out by the office suite.
#include "platform/ShellPrint.h"

#include "platform/ChildProcess.h"
#include "platform/Confinement.h"
#include "platform/TextConversion.h"

#include <cups/cups.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quillet::Platform {

namespace {

// Documents that only the office suite can turn into a print job.
const char* const kOfficeExtensions[] = {
    "doc", "docx", "docm", "dot", "dotx", "odt", "ott", "fodt", "rtf", "wpd",
    "xls", "xlsx", "xlsm", "ods", "ots", "fods", "ppt", "pptx", "pps", "ppsx", "odp", "otp", "fodp",
    "odg", "otg", "vsd", "vsdx", "pub",
};

// A document the suite cannot lay out in this time is not printed (the
// capture waiting for its job has given up long before).
constexpr int kOfficeTimeoutMs = 60000;

bool IsOfficeDocument(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    const char* extension = path.c_str() + dot + 1;
    for (const char* known : kOfficeExtensions)
        if (strcasecmp(extension, known) == 0)
            return true;
    return false;
}

std::string BaseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The queue name of the destination meant by queue (see ShellPrint), or of
// the default destination when queue is empty; empty when there is none.
std::string ResolveQueue(const std::string& queue)
{
    cups_dest_t* dests = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
    std::string name;
    if (queue.empty()) {
        // The default as CUPS clients read it, the environment included.
        if (cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr)) {
            name = dest->name;
            cupsFreeDests(1, dest);
        }
    } else {
        for (int i = 0; i < count && name.empty(); ++i)
            if (dests[i].instance == nullptr && strcasecmp(dests[i].name, queue.c_str()) == 0)
                name = dests[i].name;
        for (int i = 0; i < count && name.empty(); ++i) {
            const char* info = cupsGetOption("printer-info", dests[i].num_options, dests[i].options);
            if (dests[i].instance == nullptr && info != nullptr && queue == info)
                name = dests[i].name;
        }
    }
    cupsFreeDests(count, dests);
    return name;
}

// The office suite's program, or empty when it is not installed. The suite's
// launcher ("soffice") starts the real program as a child of its own, which a
// time-out would orphan, so the real program ("soffice.bin" beside the
// launcher's target) is run directly when it is there.
std::string FindOfficeSuite()
{
    const char* path = std::getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string candidate = folders.substr(start, end - start) + "/soffice";
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            std::error_code error;
            const std::filesystem::path real = std::filesystem::canonical(candidate, error);
            const std::string program = real.parent_path().string() + "/soffice.bin";
            return !error && ::access(program.c_str(), X_OK) == 0 ? program : candidate;
        }
        start = end + 1;
    }
    return std::string();
}

// Why the print server refused the job for file that was just submitted.
std::string PrintRefusal(const std::string& file)
{
    const ipp_status_t status = cupsLastError();
    const char* text = cupsLastErrorString();
    const std::string detail = text != nullptr ? std::string(" (") + text + ")" : std::string();
    if (status == IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED)
        return "the document type cannot be printed: " + BaseName(file) + detail;
    if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE)
        return "the print server cannot be reached" + detail;
    return "the print server refused the job for " + BaseName(file) + detail;
}

// The suite's settings for a fresh profile: no macro of a document runs, at
// any security level, whatever the document asks.
constexpr char kProfileSettings[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" "
    "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
    "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\">"
    "<prop oor:name=\"DisableMacrosExecution\" oor:op=\"fuse\"><value>true</value></prop></item>\n"
    "<item oor:path=\"/org.openoffice.Office.Common/Security/Scripting\">"
    "<prop oor:name=\"MacroSecurityLevel\" oor:op=\"fuse\"><value>3</value></prop></item>\n"
    "</oor:items>\n";

// Writes the settings into the profile at folder before the suite first
// starts on it.
bool WriteProfileSettings(const std::string& folder)
{
    std::error_code error;
    std::filesystem::create_directories(folder + "/user", error);
    if (error)
        return false;
    const int fd = ::open((folder + "/user/registrymodifications.xcu").c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const std::size_t length = sizeof kProfileSettings - 1;
    const bool written = ::write(fd, kProfileSettings, length) == static_cast<ssize_t>(length);
    return ::close(fd) == 0 && written;
}

// The suite lays the document out as PDF, which the queue then gets under the
// tagged copy's name, so the job's title carries the tag whatever the
// document says about itself. Printing through the suite itself (--pt) leaves
// the job's title to the suite, and against a print server reached through
// CUPS_SERVER's socket it submitted no job at all. Each run has its own
// profile in a private folder: it neither needs a writable HOME nor meets
// another instance of the suite (the user's own, or a second capture's),
// which would take the job over and end ours. The suite reads a document no
// one has vetted, so it runs confined to that folder, its installation and
// the document, without network and without macros.
bool PrintWithOfficeSuite(const std::string& file, const std::string& queue, std::string& failure)
{
    const std::string office = FindOfficeSuite();
    if (office.empty()) {
        failure = "LibreOffice is not installed (soffice is not on PATH); it prints " + BaseName(file);
        return false;
    }
    PrivateFolder scratch(L"qvoffice");
    const std::string folder = ToUtf8(scratch.GetPath());
    if (!scratch.IsValid() || !WriteProfileSettings(folder + "/profile")) {
        failure = "no private folder can be made for LibreOffice in the temporary folder";
        return false;
    }
    const std::string output = folder + "/out";
    const Confinement confinement(OfficeSuiteRules(FromUtf8(office), scratch.GetPath(), {FromUtf8(file)}));
    // A fresh profile makes the program ask to be started again once it has
    // set the profile up (exit code 81), as its launcher would.
    constexpr int kRestartRequested = 81;
    int code = kRestartRequested;
    for (int run = 0; run < 3 && code == kRestartRequested; ++run) {
        ChildProcess child;
        const std::wstring profile = FromUtf8("-env:UserInstallation=file://" + folder + "/profile");
        if (!ChildProcess::Spawn({FromUtf8(office), profile,
                                  L"--headless", L"--invisible", L"--norestore", L"--nolockcheck", L"--convert-to",
                                  L"pdf", L"--outdir", FromUtf8(output), FromUtf8(file)},
                                 {}, kInvalidHandle, kInvalidHandle, kInvalidHandle, child, false, &confinement)) {
            failure = "LibreOffice cannot be started: " + office;
            return false;
        }
        if (!child.Wait(kOfficeTimeoutMs, code)) {
            failure = "LibreOffice did not lay out " + BaseName(file) + " within 60 s";
            return false;  // the owner's destructor ends the suite
        }
    }
    if (code != 0) {
        failure = "LibreOffice could not lay out " + BaseName(file) + " (exit code " + std::to_string(code) + ")";
        return false;
    }
    // The suite reports a document it cannot load on its output but still
    // exits with 0: only the PDF tells.
    std::string stem = BaseName(file);
    const std::size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        stem.erase(dot);
    const std::string pdf = output + "/" + stem + ".pdf";
    struct stat info {};
    if (::stat(pdf.c_str(), &info) != 0 || info.st_size == 0) {
        failure = "LibreOffice cannot load " + BaseName(file);
        return false;
    }
    if (cupsPrintFile2(CUPS_HTTP_DEFAULT, queue.c_str(), pdf.c_str(), BaseName(file).c_str(), 0, nullptr) > 0)
        return true;
    failure = PrintRefusal(file);
    return false;
}

// Why no destination was found for queue: the server may not answer at all.
std::string MissingQueue(const std::string& queue)
{
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 5000, nullptr);
    if (http == nullptr)
        return std::string("the print server cannot be reached (") + cupsServer() + ")";
    httpClose(http);
    return queue.empty() ? "there is no default print queue" : "the print queue " + queue + " is not installed";
}

}  // namespace

bool ShellPrint(const std::wstring& file, const std::wstring& queue, std::string* failure)
{
    std::string reason;
    std::string& why = failure != nullptr ? *failure : reason;
    const std::string path = ToUtf8(file);
    if (path.empty() || path.find('\0') != std::string::npos || ::access(path.c_str(), R_OK) != 0) {
        why = "the document " + path + " cannot be read";
        return false;
    }
    const std::string wanted = ToUtf8(queue);
    const std::string destination = ResolveQueue(wanted);
    if (destination.empty()) {
        why = MissingQueue(wanted);
        return false;
    }
    if (IsOfficeDocument(path)) {
        // The suite would open an empty file as a new, blank document.
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || info.st_size == 0) {
            why = "LibreOffice cannot load " + BaseName(path) + ": the file is empty";
            return false;
        }
        return PrintWithOfficeSuite(path, destination, why);
    }
    // No format given: the server recognises the document's type and converts
    // it for the queue. The title carries the file's name, and so its tag.
    if (cupsPrintFile2(CUPS_HTTP_DEFAULT, destination.c_str(), path.c_str(), BaseName(path).c_str(), 0,
                       nullptr) > 0)
        return true;
    why = PrintRefusal(path);
    return false;
}

}  // namespace Quillet::Platform
