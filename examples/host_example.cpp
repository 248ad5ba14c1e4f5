// A small host of the library: creates a service for a document, sets its
// output, prints the settings and, when asked to render, takes the pages.
//
//   quillet-example DOCUMENT [OUTPUT-FOLDER] [--render]
#include <quillet/quillet.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <exception>
#include <string>

namespace {

std::wstring Widen(const char* text)
{
    std::wstring out(std::strlen(text) + 1, L'\0');
    const std::size_t n = std::mbstowcs(&out[0], text, out.size());
    if (n == static_cast<std::size_t>(-1))
        return std::wstring(text, text + std::strlen(text));  // not in the locale: bytes as they are
    out.resize(n);
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DOCUMENT [OUTPUT-FOLDER] [--render]\n", argv[0]);
        return 2;
    }
    const bool render = argc > 2 && std::strcmp(argv[argc - 1], "--render") == 0;

    Quillet::IRIPBase* rip = Quillet::CreateRIPService(Widen(argv[1]));
    if (!rip) {
        std::fprintf(stderr, "cannot create the service\n");
        return 1;
    }
    if (argc > 2 && std::strcmp(argv[2], "--render") != 0)
        rip->SetOutputFolder(Widen(argv[2]));
    rip->SetOutputFormat(Quillet::RIP_PNG16M);
    rip->SetResolution(100);

    std::printf("input document : %ls\n", rip->GetInputDocument().c_str());
    std::printf("output folder  : %ls\n",
                rip->GetOutputFolder().empty() ? L"(temporary folder)" : rip->GetOutputFolder().c_str());
    std::printf("output format  : %d\n", static_cast<int>(rip->GetOutputFormat()));
    std::printf("resolution     : %d dpi\n", rip->GetResolution());
    std::printf("page size      : %d x %d\n", rip->GetPageWidth(), rip->GetPageHeight());
    std::printf("CIE colour     : %s\n", rip->GetUseCIEColor() ? "yes" : "no");
    std::printf("TrueType fonts : %s\n", rip->GetUseTTFont() ? "yes" : "no");
    std::printf("page count     : %d\n", rip->GetPageCount());
    std::printf("copies         : %d\n", rip->GetNumCopies());

    int status = 0;
    if (render) {
        try {
            if (rip->StartRIP()) {
                Quillet::BitmapFile page;
                int n = 1;
                for (; rip->GetPage(n, page); ++n)
                    std::printf("page %d: %ls (orientation %d)\n", n, page.GetFilePath().c_str(),
                                page.Orientation());
                std::printf("%d pages, %d copies\n", rip->GetPageCount(), rip->GetNumCopies());
                status = rip->GetPageCount() >= 0 ? 0 : 1;
            } else {
                status = 1;
            }
            Quillet::RIPFailure failure;
            if (Quillet::GetRIPStatus(rip)->GetLastFailure(failure))
                std::fprintf(stderr, "failed: %ls\n%ls", failure.reason.c_str(), failure.report.c_str());
        } catch (const std::exception& e) {  // the system refused a pipe, process or thread
            std::fprintf(stderr, "%s\n", e.what());
            status = 1;
        }
    }
    rip->Release();
    return status;
}
