// QVPageGlance: the preview application. It renders a job through the
// library and writes the pages, with an HTML contact sheet, into a folder
// whose sheet it names on standard output.
//
//   QVPageGlance [-intent "TEXT"] -docname "DOCUMENT" -printername "QUEUE"
//                [-printjobfile "JOB"] [-outdir "FOLDER"]
//
// The arguments are a parameter string in the job grammar. The job is read
// from JOB when given (a captured job's spool file), else from standard input
// when that is a pipe, FIFO, socket or file (the launcher passes a job without
// a job file that way, and a PDF, EPS or office document as its PDF); otherwise
// the document itself is rendered, which for a document of another kind means
// printing it to the virtual queue first. Pages go to FOLDER, else to
// QVPageGlance-PID/ in the system's temporary folder ($TMPDIR, else /tmp, on
// Linux). What it needs of the OS is in posix/ and win32/.
#include <quillet/quillet.h>

#include "System.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace Quillet;

namespace {

std::wstring Widen(const std::string& text)
{
    // The arguments are UTF-8; the library's strings are wide.
    std::wstring wide;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= text.size() + (extra == 0 ? 1 : 0)) {
            wide += L'\uFFFD';
            ++i;
            continue;
        }
        std::uint32_t value = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            value = (value << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (sizeof(wchar_t) == 2 && value >= 0x10000) {  // a surrogate pair where wchar_t has 16 bits
            wide += static_cast<wchar_t>(0xD800 + ((value - 0x10000) >> 10));
            value = 0xDC00 + ((value - 0x10000) & 0x3FF);
        }
        wide += static_cast<wchar_t>(value);
        i += static_cast<std::size_t>(extra) + 1;
    }
    return wide;
}

std::string Narrow(const std::wstring& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<std::uint32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
            static_cast<std::uint32_t>(text[i + 1]) >= 0xDC00 && static_cast<std::uint32_t>(text[i + 1]) < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<std::uint32_t>(text[++i]) - 0xDC00);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

std::string Html(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '&': escaped += "&amp;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

// The last component, after the system's separators.
std::string BaseName(const std::string& path)
{
    return std::filesystem::u8path(path).filename().u8string();
}

}  // namespace

int main(int argc, char** argv)
{
    std::string docName, queue, intent, outDir, jobFile;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string option = argv[i];
        std::string* target = option == "-docname" ? &docName : option == "-printername" ? &queue
                            : option == "-intent" ? &intent : option == "-outdir" ? &outDir
                            : option == "-printjobfile" ? &jobFile : nullptr;
        if (target != nullptr)
            *target = argv[++i];
    }
    if (outDir.empty()) {
        std::error_code error;
        const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
        outDir = ((error ? std::filesystem::path("/tmp") : temp) /
                  ("QVPageGlance-" + std::to_string(Preview::ProcessId()))).u8string();
    }
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::u8path(outDir), made);

    // "printername" tells the library that the job comes on standard input.
    std::wstring params = L"docname=\"" + Widen(docName) + L"\"";
    const bool postScript = docName.size() > 3 &&
                            (docName.compare(docName.size() - 3, 3, ".ps") == 0 ||
                             docName.compare(docName.size() - 3, 3, ".PS") == 0);
    if (!jobFile.empty())
        params += L" printjobfile=\"" + Widen(jobFile) + L"\"";
    else if (Preview::JobOnStandardInput())
        params += L" printername=\"" + Widen(queue.empty() ? "QV Page Glance" : queue) + L"\"";
    else if (postScript)
        params += L" printjobfile=\"" + Widen(docName) + L"\"";  // its own job
    IRIPBase* service = CreateRIPService(params);
    if (service == nullptr) {
        std::fprintf(stderr, "QVPageGlance: cannot create the service\n");
        return 1;
    }
    service->SetOutputFolder(Widen(outDir));
    service->SetOutputFormat(RIP_PNG16M);
    service->SetResolution(72);
    if (!intent.empty())
        service->SetIntent(Widen(intent));

    std::vector<std::string> pages;
    try {
        if (service->StartRIP()) {
            BitmapFile page;
            while (service->GetPage(static_cast<std::int32_t>(pages.size()) + 1, page))
                pages.push_back(BaseName(Narrow(page.GetFilePath())));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "QVPageGlance: %s\n", error.what());
    }
    service->Release();
    if (pages.empty()) {
        std::fprintf(stderr, "QVPageGlance: no pages for %s\n", docName.c_str());
        return 1;
    }

    const std::string sheet = (std::filesystem::u8path(outDir) / "index.html").u8string();
    std::ofstream html(std::filesystem::u8path(sheet));
    html << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" << Html(BaseName(docName))
         << "</title>\n<style>body{font-family:sans-serif;background:#eee}"
            "figure{display:inline-block;margin:8px;background:#fff;padding:6px}"
            "img{width:200px;border:1px solid #999}</style></head><body>\n<h1>" << Html(BaseName(docName))
         << "</h1>\n";
    if (!intent.empty())
        html << "<p>Intent: " << Html(intent) << "</p>\n";
    html << "<p>" << pages.size() << (pages.size() == 1 ? " page" : " pages") << "</p>\n";
    for (std::size_t i = 0; i < pages.size(); ++i)
        html << "<figure><a href=\"" << Html(pages[i]) << "\"><img src=\"" << Html(pages[i]) << "\" alt=\"page "
             << i + 1 << "\"></a><figcaption>" << i + 1 << "</figcaption></figure>\n";
    html << "</body></html>\n";
    html.close();
    if (!html) {
        std::fprintf(stderr, "QVPageGlance: cannot write %s\n", sheet.c_str());
        return 1;
    }
    std::printf("%s\n", sheet.c_str());
    return 0;
}
