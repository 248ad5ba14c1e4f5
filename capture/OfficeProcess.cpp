// OfficeProcess: starting the office process confined on its private folder,
// handing it copies of documents, and reading its replies (the protocol is
// in capture/OfficeProtocol.h).
#include "capture/OfficeProcess.h"

#include "capture/OfficeProtocol.h"

#include "platform/Confinement.h"
#include "platform/Deadline.h"
#include "platform/EventLoop.h"
#include "platform/FolderSurvey.h"
#include "platform/Paths.h"
#include "platform/Pipe.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "settings/BoundReasons.h"

#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace Quillet {

namespace {

std::string BaseName(const std::wstring& path)
{
    return ToUtf8(Platform::FileNameOf(path));
}

/// How often a layout's writes and memory are looked at: a document that
/// writes or allocates as fast as the machine allows gets some 100 MB past
/// its bound before it is ended, where the system's own bounds do not stop
/// it first.
constexpr int kWatchMs = 50;

}  // namespace

OfficeProcess::~OfficeProcess()
{
    End();
}

bool OfficeProcess::Start(std::vector<std::wstring> command, const OfficeProcessBounds& processBounds,
                          std::string& failure)
{
    End();
    // Made 0700; those of hosts that were killed go first, a live host's stay.
    folder = Platform::PrivateFolder(L"qvoffice");
    if (!folder.IsValid()) {
        std::wstring temp;
        ZBaseStorage::TempDirPath(temp);
        failure = "no private folder can be made for LibreOffice in " + ToUtf8(temp);
        return false;
    }
    const std::wstring path = folder.GetPath();
    for (const wchar_t* sub : {L"in", L"out"})
        ZDirStorage(ZString(Platform::JoinPath({path, sub}))).Create();

    Platform::PipePair input, output;
    if (!Platform::CreatePipe(input) || !Platform::CreatePipe(output) ||
        !Platform::SetNonBlocking(output.read.Get(), true)) {
        failure = "no pipe can be made for LibreOffice";
        End();
        return false;
    }
    // The one place an office process is started, and it starts confined:
    // it reads the system's files, its program and the suite whose soffice
    // is on PATH (the one it loads), and writes only its folder, which is
    // also its home and temporary folder; it opens no socket.
    const std::wstring office = Platform::ChildProcess::FindProgram(L"soffice");
    Platform::ConfinementRules rules = Platform::OfficeSuiteRules(command.at(0), office, path);
    rules.maxFileBytes = processBounds.maxFileBytes;
    rules.maxMemoryBytes = processBounds.maxMemoryBytes;
    const Platform::Confinement confinement(std::move(rules));
    if (!confinement.IsReady()) {
        failure = "LibreOffice cannot be confined: the rules of its process cannot be prepared";
        End();
        return false;
    }
    const std::string program = ToUtf8(command.at(0));
    command.push_back(path);
    command.push_back(office);
    Platform::SpawnOptions options;
    options.stdIn = input.read.Get();
    options.stdOut = output.write.Get();
    options.confinement = &confinement;
    // It ends by itself once its input closes, as it does with the host
    // however the host ends, and empties its folder first: a kill from the
    // system would leave the folder full.
    options.outliveHost = true;
    if (const std::error_code error = Platform::ChildProcess::Spawn(command, options, child)) {
        failure = "the office process cannot be started: " + program + " (" + error.message() + ")";
        End();
        return false;
    }
    requests = std::move(input.write);
    replies = std::move(output.read);
    received.clear();
    ready = false;
    documentsDone = 0;
    residentBytes = 0;
    bounds = processBounds;
    started.clear();
    return true;
}

bool OfficeProcess::WaitUntilReady(int timeoutMs, std::string& failure)
{
    if (ready)
        return true;
    std::string line;
    switch (ReadLine(timeoutMs, line)) {
    case LineResult::Line: {
        const OfficeProtocol::Reply reply = OfficeProtocol::ParseReply(line);
        if (reply.kind == OfficeProtocol::ReplyKind::Ready) {
            ready = true;
            started = KeptFiles();
            return true;
        }
        failure = reply.kind == OfficeProtocol::ReplyKind::Error ? reply.text : "the office process said: " + line;
        break;
    }
    case LineResult::TimedOut:
        failure = "LibreOffice did not start within " + std::to_string(timeoutMs / 1000) + " s";
        break;
    case LineResult::Ended:
        failure = "the office process ended as it started (" + HowItEnded() + ")";
        break;
    }
    End();
    return false;
}

OfficeProcess::Outcome OfficeProcess::Convert(const std::wstring& document, const std::wstring& pdf,
                                              const OfficeLayoutBounds& limits, std::string& failure)
{
    // The process reads nothing outside its folder, so the document goes
    // there as a copy (never a link: the process may write in its folder),
    // under its own name, by which the suite also tells its kind. The copy
    // goes once the document is done.
    const std::wstring copy = Platform::JoinPath({folder.GetPath(), L"in", Platform::FileNameOf(document)});
    if (ZFileStorage(ZString(document)).Copy(ZString(copy), true) != ZBASE_OK) {
        failure = "the document " + ToUtf8(document) + " cannot be copied for LibreOffice";
        return Outcome::Failed;
    }
    const Outcome outcome = LayOut(copy, pdf, limits, failure);
    ZFileStorage(ZString(copy)).Delete(false);
    return outcome;
}

OfficeProcess::Outcome OfficeProcess::LayOut(const std::wstring& document, const std::wstring& pdf,
                                             const OfficeLayoutBounds& limits, std::string& failure)
{
    const std::string name = BaseName(document);
    // What the document makes the process write counts from here: the copy
    // is in place, the folder holds what the suite keeps.
    const std::uint64_t before = limits.maxBytes > 0 ? Platform::FolderBytes(folder.GetPath()) : 0;
    const std::wstring output =
        Platform::JoinPath({folder.GetPath(), L"out", std::to_wstring(documentsDone + 1) + L".pdf"});
    const std::string request = OfficeProtocol::ConvertRequest(ToUtf8(document), ToUtf8(output));
    for (std::size_t done = 0; done < request.size();) {
        std::size_t count = 0;
        if (Platform::WriteSome(requests.Get(), request.data() + done, request.size() - done, count) !=
            Platform::IoStatus::Ok) {
            failure = "LibreOffice ended before it was given " + name + " (" + HowItEnded() + ")";
            return Outcome::Ended;
        }
        done += count;
    }
    const std::string whileLaidOut = " while LibreOffice laid out " + name;
    const bool watch = limits.maxBytes > 0 || limits.maxMemoryBytes > 0;
    std::uint64_t mostData = 0;
    std::string line;
    for (;;) {
        const int left = Platform::MillisecondsUntil(limits.deadline);
        const LineResult result = ReadLine(watch ? std::min(left, kWatchMs) : left, line);
        if (result == LineResult::Line)
            break;
        if (result == LineResult::Ended) {
            // Ended by the system's bound on a file's length, or by a refused
            // allocation near its memory bound: the document went past them.
            std::optional<Platform::ChildEnd> end;
            const std::string how = HowItEnded(end);
            if (limits.maxBytes > 0 && end && end->IsFileSizeLimit()) {
                failure = WroteTooMuch(limits.maxBytes) + whileLaidOut;
                End();
                return Outcome::OverLimit;
            }
            if (limits.maxMemoryBytes > 0 && mostData >= limits.maxMemoryBytes / 4 * 3) {
                failure = NeededTooMuchMemory(limits.maxMemoryBytes) + whileLaidOut;
                End();
                return Outcome::OverLimit;
            }
            failure = "LibreOffice ended while laying out " + name + " (" + how + ")";
            return Outcome::Ended;
        }
        if (std::chrono::steady_clock::now() >= limits.deadline) {
            End();
            if (limits.runTimeLimit > 0) {
                failure = "the job ran past its time limit of " + std::to_string(limits.runTimeLimit) + " s" +
                          whileLaidOut;
                return Outcome::OverLimit;
            }
            failure = "LibreOffice did not lay out " + name + " within " + std::to_string(limits.timeLimitMs / 1000) +
                      " s";
            return Outcome::TimedOut;
        }
        const std::uint64_t data = limits.maxMemoryBytes > 0 ? child.GetDataBytes() : 0;
        mostData = std::max(mostData, data);
        if (data > limits.maxMemoryBytes && limits.maxMemoryBytes > 0) {
            failure = NeededTooMuchMemory(limits.maxMemoryBytes) + whileLaidOut;
            End();
            return Outcome::OverLimit;
        }
        if (limits.maxBytes > 0) {
            const std::uint64_t now = Platform::FolderBytes(folder.GetPath());
            const std::uint64_t written = (now > before ? now - before : 0) + child.GetUnlinkedOpenBytes();
            if (written > limits.maxBytes) {
                failure = WroteTooMuch(limits.maxBytes) + whileLaidOut;
                End();
                return Outcome::OverLimit;
            }
        }
    }
    const OfficeProtocol::Reply reply = OfficeProtocol::ParseReply(line);
    if (reply.kind == OfficeProtocol::ReplyKind::Done) {
        ++documentsDone;
        residentBytes = reply.residentBytes;
        if (Platform::RenameFile(output, pdf))
            return Outcome::Done;
        failure = "the PDF of " + name + " cannot be moved to " + ToUtf8(pdf);
        return Outcome::Failed;
    }
    failure = reply.kind == OfficeProtocol::ReplyKind::Failed ? reply.text : "the office process said: " + line;
    return Outcome::Failed;
}

OfficeProcess::LineResult OfficeProcess::ReadLine(int timeoutMs, std::string& line)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    enum : std::uint64_t { kReplies, kProcess };
    // The process's end is watched too: a child of the suite that kept its
    // output open would otherwise hide it.
    Platform::EventLoop loop;
    if (replies.IsValid()) {
        loop.AddReader(replies.Get(), kReplies);
        loop.AddChild(child, kProcess);
    }
    bool gone = !replies.IsValid();
    for (;;) {
        const std::size_t end = received.find('\n');
        if (end != std::string::npos) {
            line = received.substr(0, end);
            received.erase(0, end + 1);
            return LineResult::Line;
        }
        if (gone)
            return LineResult::Ended;
        std::optional<Platform::Completion> done;
        try {
            done = loop.Wait(Platform::MillisecondsUntil(deadline));
        } catch (const std::runtime_error&) {
            return LineResult::Ended;
        }
        if (!done)
            return LineResult::TimedOut;
        if (done->kind == Platform::CompletionKind::Read) {
            received.append(done->data, done->size);
            continue;
        }
        // Its output ended, or the process did: what it said before counts.
        gone = true;
        if (done->kind == Platform::CompletionKind::ChildEnded)
            while (const auto more = loop.Take(kReplies)) {
                if (more->kind != Platform::CompletionKind::Read)
                    break;
                received.append(more->data, more->size);
            }
    }
}

bool OfficeProcess::HasEnded()
{
    return !child.IsValid() || child.TryGetEnd().has_value();
}

std::string OfficeProcess::HowItEnded(std::optional<Platform::ChildEnd>& end)
{
    end = child.IsValid() ? child.Wait(1000) : std::nullopt;
    return end ? end->Describe() : "it did not answer";
}

std::string OfficeProcess::HowItEnded()
{
    std::optional<Platform::ChildEnd> end;
    return HowItEnded(end);
}

std::map<std::string, std::uint64_t> OfficeProcess::KeptFiles() const
{
    return Platform::FolderFiles(folder.GetPath(), {L"in", L"out"});
}

bool OfficeProcess::KeepsNothing() const
{
    return ready && KeptFiles() == started;
}

void OfficeProcess::End()
{
    requests.Close();
    replies.Close();
    child = Platform::ChildProcess();  // killed and reaped when still running
    ready = false;
    folder = Platform::PrivateFolder();  // removed with everything in it
}

}  // namespace Quillet
