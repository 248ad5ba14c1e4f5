// Links against an installed Quillet and uses its public interface.
#include <quillet/quillet.h>

#include <cstdio>

int main()
{
    Quillet::IRIPBase* rip = Quillet::CreateRIPService(L"/nonexistent/document.ps");
    if (!rip)
        return 1;
    rip->SetOutputFormat(Quillet::RIP_PNG16M);
    const bool ok = rip->GetOutputFormat() == Quillet::RIP_PNG16M && rip->GetPageCount() == 0 &&
                    rip->GetNumCopies() == -1;
    std::printf("consumer: %s\n", ok ? "ok" : "unexpected settings");
    return rip->Release() && ok ? 0 : 1;
}
