// ShellPrint on POSIX: submits the file to a CUPS queue with libcups.
#include "platform/ShellPrint.h"

#include "platform/posix/Internal.h"

#include "platform/TextConversion.h"

#include <cups/cups.h>
#include <cstring>
#include <strings.h>
#include <unistd.h>

namespace Quillet::Platform {

namespace {

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
    // No format given: the server recognises the document's type and converts
    // it for the queue. The title carries the file's name, and so its tag.
    if (cupsPrintFile2(CUPS_HTTP_DEFAULT, destination.c_str(), path.c_str(), BaseName(path).c_str(), 0,
                       nullptr) > 0)
        return true;
    why = PrintRefusal(path);
    return false;
}

}  // namespace Quillet::Platform
