// HelperProcess: the test binary run as a helper process, with a pipe to its
// standard input and one from its standard output; and the id of an ended process.
#pragma once

#include "TestSupport.h"

#include "platform/ChildProcess.h"
#include "platform/Pipe.h"
#include "platform/TextConversion.h"
#include "platform/EventLoop.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace QuilletTest {

/// The command line of helper mode name of the test binary, with args.
inline std::vector<std::wstring> HelperCommand(const std::wstring& name, const std::vector<std::wstring>& args = {})
{
    std::vector<std::wstring> argv{Quillet::FromUtf8(SelfPath()), L"--quillet-helper", name};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

/// The id of a process that has ended, which names no live process of ours.
inline std::int64_t EndedProcessId()
{
    Quillet::Platform::ChildProcess gone;
    Quillet::Platform::ChildProcess::Spawn({L"true"}, {}, gone);
    gone.Wait(10000);
    return gone.GetProcessId();
}

/// Runs `<self> --quillet-helper name args...`. The destructor kills and
/// reaps a helper that is still running.
class HelperProcess {
public:
    HelperProcess(const std::wstring& name, const std::vector<std::wstring>& args)
    {
        namespace P = Quillet::Platform;
        P::PipePair in, out;
        if (!P::CreatePipe(in) || !P::CreatePipe(out) ||
            !Start(HelperCommand(name, args), in.read.Get(), out.write.Get()))
            throw std::runtime_error("cannot start the helper");
        toChild = std::move(in.write);
        fromChild = std::move(out.read);
    }

    /// Writes one line to the helper's input.
    bool Send(const std::string& line)
    {
        const std::string text = line + "\n";
        std::size_t count = 0;
        return Quillet::Platform::WriteSome(toChild.Get(), text.data(), text.size(), count) ==
                   Quillet::Platform::IoStatus::Ok &&
               count == text.size();
    }

    /// The next line of the helper's output; false when none came within
    /// timeoutMs or the helper has gone.
    bool ReadLine(std::string& line, int timeoutMs = 60000)
    {
        namespace P = Quillet::Platform;
        for (;;) {
            const std::size_t end = buffer.find('\n');
            if (end != std::string::npos) {
                // A Windows program's text output ends its lines in CRLF.
                line = buffer.substr(0, end > 0 && buffer[end - 1] == '\r' ? end - 1 : end);
                buffer.erase(0, end + 1);
                return true;
            }
            P::EventLoop loop;
            loop.AddReader(fromChild.Get(), 0);
            const auto done = loop.Wait(timeoutMs);
            if (!done || done->kind != P::CompletionKind::Read)
                return false;
            buffer.append(done->data, done->size);
        }
    }

    /// The next line, or "" when none came.
    std::string ReadLine()
    {
        std::string line;
        return ReadLine(line) ? line : std::string();
    }

    /// Ends the helper's input and returns its exit code (-1 when killed).
    int Finish()
    {
        toChild.Close();
        const auto end = child.Wait(-1);
        return end && end->kind == Quillet::Platform::ChildEnd::Kind::Exited ? end->code : -1;
    }

    /// Ends the helper at once, whatever it holds, and reaps it.
    void Kill()
    {
        child.Kill();
        child.Wait(-1);
    }

    std::int64_t GetProcessId() const { return child.GetProcessId(); }

private:
    bool Start(const std::vector<std::wstring>& argv, Quillet::Platform::NativeHandle input,
               Quillet::Platform::NativeHandle output)
    {
        Quillet::Platform::SpawnOptions options;
        options.stdIn = input;
        options.stdOut = output;
        return !Quillet::Platform::ChildProcess::Spawn(argv, options, child);
    }

    Quillet::Platform::ChildProcess child;
    Quillet::Platform::UniqueHandle toChild, fromChild;
    std::string buffer;
};

}  // namespace QuilletTest
