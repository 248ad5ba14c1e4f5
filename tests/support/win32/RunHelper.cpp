// RunHelper on Windows: CreateProcessW on the test program itself, with the
// command line the platform quotes.
#include <windows.h>

#include "support/RunHelper.h"

#include "TestSupport.h"
#include "platform/CommandLine.h"
#include "platform/TextConversion.h"

namespace QuilletTest {

int RunHelper(const std::wstring& name, const std::vector<std::wstring>& args)
{
    const std::wstring self = Quillet::FromUtf8(SelfPath());
    std::vector<std::wstring> argv{self, L"--quillet-helper", name};
    argv.insert(argv.end(), args.begin(), args.end());
    std::wstring commandLine = Quillet::Platform::JoinCommandLine(argv);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &process))
        return -1;
    ::CloseHandle(process.hThread);
    DWORD code = 0;
    if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        code = static_cast<DWORD>(-1);
    } else if (!::GetExitCodeProcess(process.hProcess, &code)) {
        code = static_cast<DWORD>(-1);
    }
    ::CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

}  // namespace QuilletTest
