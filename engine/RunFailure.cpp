// RunFailure: recording a failure, the report's tail, the reason for
// Ghostscript's end.
#include "engine/RunFailure.h"

#include "platform/TextConversion.h"

#include <algorithm>

namespace Quillet {

namespace {

// A line longer than this is scanned by its start only: the cause is named
// at the start of Ghostscript's lines, and the line buffer stays small.
constexpr std::size_t kLineLimit = 512;

const char kErrorTag[] = "Error: ";
const char kOsErrorTag[] = "Last OS error: ";

std::string Pages(int count)
{
    return std::to_string(count) + (count == 1 ? " page" : " pages");
}

}  // namespace

IRIPStatus::~IRIPStatus() = default;

void RunFailure::Clear()
{
    std::lock_guard<std::mutex> guard(mutex);
    stage = RIP_STAGE_NONE;
    reason.clear();
    weak = false;
    errorLines.clear();
    errorOutput.clear();
    line.clear();
    inErrorReport = false;
    errorLine.clear();
    osError.clear();
}

void RunFailure::Set(RIPStage newStage, const std::string& newReason, bool newWeak)
{
    std::lock_guard<std::mutex> guard(mutex);
    SetLocked(newStage, newReason, newWeak);
}

void RunFailure::SetLocked(RIPStage newStage, const std::string& newReason, bool newWeak)
{
    if (stage != RIP_STAGE_NONE && !weak)
        return;  // the first cause stays; what follows is its consequence
    stage = newStage;
    reason = newReason;
    weak = newWeak;
}

bool RunFailure::IsSet() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return stage != RIP_STAGE_NONE;
}

void RunFailure::AddErrorOutput(const char* bytes, std::size_t count)
{
    constexpr std::size_t limit = kReportLimit / 2;
    std::lock_guard<std::mutex> guard(mutex);
    if (count >= limit) {
        errorOutput.assign(bytes + count - limit, limit);
        return;
    }
    errorOutput.append(bytes, count);
    if (errorOutput.size() > limit)
        errorOutput.erase(0, errorOutput.size() - limit);
}

void RunFailure::AddStandardOutput(const char* bytes, std::size_t count)
{
    std::lock_guard<std::mutex> guard(mutex);
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\n')
            EndOutputLine();
        else if (line.size() < kLineLimit)
            line += bytes[i];
    }
}

void RunFailure::EndOutputLine()
{
    // The header values may share their line with what follows them, so the
    // tag is looked for anywhere in the line.
    const std::size_t error = line.find(kErrorTag);
    if (!inErrorReport && error != std::string::npos) {
        inErrorReport = true;
        errorLine = line.substr(error + sizeof kErrorTag - 1);
    }
    if (inErrorReport) {
        if (line.rfind(kOsErrorTag, 0) == 0)
            osError = line.substr(sizeof kOsErrorTag - 1);
        line += '\n';
        errorLines.append(line, 0, std::min(line.size(), kReportLimit / 2 - errorLines.size()));
    }
    line.clear();
}

void RunFailure::SetChildEnd(int code, int pages, bool stopping)
{
    if (code == 0)
        return;
    std::lock_guard<std::mutex> guard(mutex);
    if (!line.empty())
        EndOutputLine();  // a last line without its newline
    const bool signalled = code > 128;
    const std::string end = signalled ? "signal " + std::to_string(code - 128)
                                      : "exit code " + std::to_string(code);
    if (stopping) {
        SetLocked(RIP_STAGE_STOP, "Ghostscript was ended by the stop (" + end + ") after " + Pages(pages),
                  false);
        return;
    }
    std::string cause;
    if (osError.find("No space left") != std::string::npos)
        cause = "the output disk is full";
    else if (osError.find("Read-only file system") != std::string::npos ||
             osError.find("Permission denied") != std::string::npos)
        cause = "the output folder cannot be written (" + osError + ")";
    if (!errorLine.empty())
        cause += (cause.empty() ? "PostScript error " : ": ") + errorLine;
    if (cause.empty())
        cause = signalled ? "Ghostscript was killed" : "Ghostscript failed";
    SetLocked(RIP_STAGE_RENDER, cause + " after " + Pages(pages) + " (Ghostscript " + end + ")", false);
}

std::string RunFailure::GetNoPagesReason() const
{
    std::lock_guard<std::mutex> guard(mutex);
    // Ghostscript's PDF interpreter marks its messages on standard error with
    // "****"; the note it ends with after repairing a file names no cause,
    // but the list of errors before it does.
    std::string cause, detail;
    bool listing = false, repairNote = false;
    std::size_t next = 0;
    for (std::size_t start = 0; start < errorOutput.size(); start = next + 1) {
        next = std::min(errorOutput.find('\n', start), errorOutput.size());
        std::string text = errorOutput.substr(start, next - start);
        text.erase(0, std::min(text.find_first_not_of(" \t"), text.size()));
        if (listing && detail.empty()) {
            detail = text;
        } else if (text.rfind("The following errors were encountered", 0) == 0) {
            listing = true;
        } else if (text.rfind("**** ", 0) == 0) {
            repairNote = repairNote || text.find("had errors that were repaired") != std::string::npos;
            if (!repairNote && cause.empty())
                cause = text.substr(5);
        }
    }
    if (cause.empty())
        cause = errorLine.empty() ? "it has no page Ghostscript can read" : errorLine;
    if (cause.rfind(kErrorTag, 0) == 0)
        cause.erase(0, sizeof kErrorTag - 1);
    if (!cause.empty() && cause.back() == '.')
        cause.pop_back();
    if (!detail.empty())
        cause += " (" + detail + ")";
    return "the document cannot be read: " + cause + "; Ghostscript rendered no page";
}

bool RunFailure::GetLastFailure(RIPFailure& failure)
{
    std::lock_guard<std::mutex> guard(mutex);
    failure.stage = stage;
    failure.reason = FromUtf8(reason);
    failure.report = stage == RIP_STAGE_NONE ? std::wstring() : FromUtf8(errorLines + errorOutput);
    return stage != RIP_STAGE_NONE;
}

}  // namespace Quillet
