// RunChild: a child started with its output on a pipe, read to the end and
// reaped; for the tests of children on every system.
#pragma once

#include "platform/ChildProcess.h"
#include "platform/Confinement.h"
#include "platform/Pipe.h"

#include <string>
#include <utility>
#include <vector>

namespace QuilletTest {

/// Everything a handle gives until its end.
inline std::string DrainPipe(Quillet::Platform::NativeHandle source)
{
    std::string text;
    char buffer[4096];
    std::size_t count = 0;
    while (Quillet::Platform::ReadSome(source, buffer, sizeof buffer, count) == Quillet::Platform::IoStatus::Ok)
        text.append(buffer, count);
    return text;
}

/// text cut at each NUL (what follows the last one is left out).
inline std::vector<std::string> SplitNul(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    return parts;
}

struct ChildRun {
    bool started = false;
    std::string output;
    Quillet::Platform::ChildEnd end{Quillet::Platform::ChildEnd::Kind::Killed, -1};
};

/// Runs argv with its standard output on a pipe, reads it all and reaps it.
inline ChildRun RunChild(const std::vector<std::wstring>& argv,
                         const std::vector<std::pair<std::wstring, std::wstring>>& environment = {},
                         const Quillet::Platform::Confinement* confinement = nullptr)
{
    namespace P = Quillet::Platform;
    ChildRun result;
    P::PipePair output;
    if (!P::CreatePipe(output))
        return result;
    P::ChildProcess child;
    P::SpawnOptions options;
    options.environment = environment;
    options.stdOut = output.write.Get();
    options.confinement = confinement;
    result.started = !P::ChildProcess::Spawn(argv, options, child);
    output.write.Close();
    if (!result.started)
        return result;
    result.output = DrainPipe(output.read.Get());
    result.end = child.Wait(-1).value_or(result.end);
    return result;
}

}  // namespace QuilletTest
