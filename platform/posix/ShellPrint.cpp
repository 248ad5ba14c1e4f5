// ShellPrint on POSIX: submits the file to a CUPS queue with libcups, or
// through the office suite for the formats CUPS cannot convert.
#include "platform/ShellPrint.h"

#include "platform/ChildProcess.h"
#include "platform/TextConversion.h"

#include <cups/cups.h>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace Quillet::Platform {

namespace {

// Documents that only the office suite can turn into a print job.
const char* const kOfficeExtensions[] = {
    "doc", "docx", "docm", "dot", "dotx", "odt", "ott", "fodt", "rtf", "wpd",
    "xls", "xlsx", "xlsm", "ods", "ots", "fods", "ppt", "pptx", "pps", "ppsx", "odp", "otp", "fodp",
    "odg", "otg", "vsd", "vsdx", "pub",
};

constexpr int kOfficeTimeoutMs = 180000;

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
        if (const cups_dest_t* dest = cupsGetDest(nullptr, nullptr, count, dests))
            name = dest->name;
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

// The office suite's program, or empty when it is not installed.
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
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

bool PrintWithOfficeSuite(const std::string& file, const std::string& queue, std::string& failure)
{
    const std::string office = FindOfficeSuite();
    if (office.empty()) {
        failure = "LibreOffice is not installed (soffice is not on PATH); it prints " + BaseName(file);
        return false;
    }
    ChildProcess child;
    if (!ChildProcess::Spawn({FromUtf8(office), L"--headless", L"--pt", FromUtf8(queue), FromUtf8(file)}, {},
                             kInvalidHandle, kInvalidHandle, kInvalidHandle, child)) {
        failure = "LibreOffice cannot be started: " + office;
        return false;
    }
    int code = -1;
    if (!child.Wait(kOfficeTimeoutMs, code)) {
        failure = "LibreOffice did not print " + BaseName(file) + " within 3 minutes";
        return false;  // the owner's destructor ends the suite
    }
    if (code != 0)
        failure = "LibreOffice could not print " + BaseName(file) + " (exit code " + std::to_string(code) + ")";
    return code == 0;
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
    if (IsOfficeDocument(path))
        return PrintWithOfficeSuite(path, destination, why);
    // No format given: the server recognises the document's type and converts
    // it for the queue. The title carries the file's name, and so its tag.
    if (cupsPrintFile2(CUPS_HTTP_DEFAULT, destination.c_str(), path.c_str(), BaseName(path).c_str(), 0,
                       nullptr) > 0)
        return true;
    const ipp_status_t status = cupsLastError();
    const char* text = cupsLastErrorString();
    const std::string detail = text != nullptr ? std::string(" (") + text + ")" : std::string();
    if (status == IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED)
        why = "the document type cannot be printed: " + BaseName(path) + detail;
    else if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE)
        why = "the print server cannot be reached" + detail;
    else
        why = "the print server refused the job for " + BaseName(path) + detail;
    return false;
}

}  // namespace Quillet::Platform
