// RunFailure: recording a failure, the report's tail, the reason for
// Ghostscript's end.
#include "engine/RunFailure.h"

#include "platform/ReportedError.h"
#include "platform/TextConversion.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace Quillet {

namespace {

// A line longer than this is scanned by its start only, and the operand
// stack line by its end, where the operands of the failing operator are: the
// line buffers stay small however long a line the job makes.
constexpr std::size_t kLineLimit = 512;

const char kErrorTag[] = "Error: ";
const char kUnrecoverableTag[] = "Unrecoverable error: ";
const char kOsErrorTag[] = "Last OS error: ";

std::string Pages(int count)
{
    return std::to_string(count) + (count == 1 ? " page" : " pages");
}

bool Contains(const std::string& text, const char* what)
{
    return text.find(what) != std::string::npos;
}

/// The string operands in a line of Ghostscript's operand stack, in order,
/// their PostScript escapes undone: "(/etc/shadow)   (r)" gives both.
std::vector<std::string> StringOperands(const std::string& line)
{
    std::vector<std::string> strings;
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] != '(' || (at > 0 && line[at - 1] != ' '))
            continue;
        std::string value;
        int depth = 1;
        std::size_t i = at + 1;
        for (; i < line.size() && depth > 0; ++i) {
            char c = line[i];
            if (c == '\\' && i + 1 < line.size()) {
                const char next = line[++i];
                if (next >= '0' && next <= '7') {
                    int code = next - '0';
                    for (int k = 0; k < 2 && i + 1 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '7'; ++k)
                        code = code * 8 + (line[++i] - '0');
                    c = static_cast<char>(code);
                } else {
                    const char* const escapes = "n\nr\rt\tb\bf\f";
                    c = next;
                    for (const char* e = escapes; *e != '\0'; e += 2)
                        if (*e == next)
                            c = e[1];
                }
            } else if (c == '(') {
                ++depth;
            } else if (c == ')' && --depth == 0) {
                break;
            }
            value += c;
        }
        if (depth == 0)
            strings.push_back(value);
        at = i;
    }
    return strings;
}

/// What a file operator was doing to the file it names, from its operands:
/// "read /etc/shadow"; empty when the operands name no file.
std::string FileAccess(const std::string& op, const std::vector<std::string>& strings)
{
    if (strings.empty())
        return std::string();
    const std::string& last = strings.back();
    const bool mode = last == "r" || last == "w" || last == "a" || last == "r+" || last == "w+" || last == "a+";
    if (mode && strings.size() >= 2)
        return (last[0] == 'r' && last != "r+" ? "read " : "write ") + strings[strings.size() - 2];
    if (op == "deletefile")
        return "delete " + last;
    if (op == "renamefile" && strings.size() >= 2)
        return "rename " + strings[strings.size() - 2];
    return "reach " + last;
}

/// Replaces control characters, which could drive a terminal the text is
/// shown on, by U+FFFD; keepLines keeps the line ends of a report.
std::wstring Printable(const std::string& utf8, bool keepLines)
{
    std::wstring text = FromUtf8(utf8);
    for (wchar_t& c : text) {
        const bool control = c < 0x20 || (c >= 0x7F && c < 0xA0);
        if (control && !(keepLines && c == L'\n'))
            c = L'\uFFFD';
    }
    return text;
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
    reportPart = ReportPart::None;
    errorLine.clear();
    operands.clear();
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

void RunFailure::SetFromException(RIPStage newStage, const std::string& context, bool newWeak)
{
    std::string why;
    try {
        throw;
    } catch (const std::exception& e) {
        why = context.empty() ? std::string(e.what()) : context + ": " + e.what();
    } catch (...) {
        why = context.empty() ? std::string("an unknown failure") : context;
    }
    Set(newStage, why, newWeak);
}

bool RunFailure::IsSet() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return stage != RIP_STAGE_NONE;
}

RunFailure::Report RunFailure::GetReport() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return Report{errorLines, errorOutput, errorLine};
}

void RunFailure::SetReportLocked(const Report& report)
{
    errorLines = report.errorLines;
    errorOutput = report.errorOutput;
    errorLine = report.errorLine;
}

void RunFailure::Adopt(const RunFailure& other)
{
    // Copied out first: no two records' locks are ever held at once.
    RIPStage otherStage;
    std::string otherReason;
    bool otherWeak;
    {
        std::lock_guard<std::mutex> guard(other.mutex);
        otherStage = other.stage;
        otherReason = other.reason;
        otherWeak = other.weak;
    }
    const Report report = other.GetReport();
    if (otherStage == RIP_STAGE_NONE)
        return;
    std::lock_guard<std::mutex> guard(mutex);
    if (stage != RIP_STAGE_NONE && !weak)
        return;
    SetLocked(otherStage, otherReason, otherWeak);
    SetReportLocked(report);
}

void RunFailure::TakeReport(const RunFailure& other)
{
    const Report report = other.GetReport();
    std::lock_guard<std::mutex> guard(mutex);
    if (errorLines.empty() && errorOutput.empty())
        SetReportLocked(report);
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
        if (bytes[i] == '\n') {
            EndOutputLine();
            continue;
        }
        line += bytes[i];
        // The start and the end of a long line stay, the middle goes.
        if (line.size() > 3 * kLineLimit)
            line.erase(kLineLimit, line.size() - 2 * kLineLimit);
    }
}

void RunFailure::StartErrorReport(const std::string& firstLine, const std::string& error)
{
    // A new report replaces what came before: a job's text that looks like a
    // report is followed by Ghostscript's own when the job fails.
    errorLines.clear();
    operands.clear();
    osError.clear();
    errorLine = error;
    reportPart = ReportPart::Heading;
    errorLines.append(firstLine, 0, std::min(firstLine.size(), kLineLimit)).append("\n");
}

void RunFailure::EndOutputLine()
{
    // Ghostscript begins its report on a fresh line, or right after what the
    // job left unfinished on the current one. Its stacks are indented: a
    // string of the job's shown there begins no report.
    const bool stackContent = (reportPart == ReportPart::Operands || reportPart == ReportPart::Rest) &&
                              !line.empty() && line[0] == ' ';
    const std::size_t error = stackContent ? std::string::npos : line.find(kErrorTag);
    if (error != std::string::npos) {
        const std::string report = line.substr(error);
        StartErrorReport(report, report.substr(sizeof kErrorTag - 1, kLineLimit));
    } else if (!stackContent && line.rfind(kUnrecoverableTag, 0) == 0) {
        StartErrorReport(line, line.substr(sizeof kUnrecoverableTag - 1, kLineLimit));
    } else if (reportPart != ReportPart::None) {
        if (line == "Operand stack:") {
            reportPart = ReportPart::Operands;
        } else if (reportPart == ReportPart::Operands) {
            operands = line.size() > kLineLimit ? line.substr(line.size() - kLineLimit) : line;
            reportPart = ReportPart::Rest;
        } else if (line.rfind(kOsErrorTag, 0) == 0) {
            osError = line.substr(sizeof kOsErrorTag - 1, kLineLimit);
        }
        const std::size_t room = kReportLimit / 2 - std::min(errorLines.size(), kReportLimit / 2);
        errorLines.append(line, 0, std::min({line.size(), kLineLimit, room}));
        if (errorLines.size() < kReportLimit / 2)
            errorLines += '\n';
    }
    line.clear();
}

std::string RunFailure::ReportedCause() const
{
    if (errorLine.empty())
        return std::string();
    const std::size_t in = errorLine.find(" in ");
    const std::string name = errorLine.substr(0, in);
    std::string op = in == std::string::npos ? std::string() : errorLine.substr(in + 4);
    if (op.size() > 4 && op.rfind("--", 0) == 0 && op.compare(op.size() - 2, 2, "--") == 0)
        op = op.substr(2, op.size() - 4);

    const Platform::ReportedError os = Platform::ClassifyReportedError(osError);
    const bool refused = name == "/invalidfileaccess" || os == Platform::ReportedError::Refused;
    const bool fileOperator = op == "file" || op == "run" || op == "deletefile" || op == "renamefile" ||
                              op == "status" || op == "filenameforall";
    const std::string osText = osError.empty() ? std::string() : " (" + osError + ")";
    if (refused && fileOperator) {
        // -dSAFER refuses with /invalidfileaccess, the system with EACCES:
        // either way the job asked for a file it may not have.
        const std::string access = FileAccess(op, StringOperands(operands));
        if (!access.empty())
            return "the job may not " + access + osText + ": " + errorLine;
    }
    if (os == Platform::ReportedError::DiskFull)
        return "the output disk is full: " + errorLine;
    const bool pageOutput = op == "showpage" || op == "copypage" || op == ".outputpage" || op == "setpagedevice";
    if (pageOutput && (refused || os == Platform::ReportedError::ReadOnly)) {
        // The run's own names are plain names in the output folder; any
        // other one (a path, a pipe's command) is the job's own setting.
        const std::string target = UnopenedFile();
        if (!outputPrefix.empty() && !target.empty() && target.rfind(outputPrefix, 0) != 0)
            return "the job tried to redirect its output to \"" + target + "\"" + osText + ": " + errorLine;
        return "the output folder cannot be written" + osText + ": " + errorLine;
    }
    if (refused)
        return "Ghostscript was refused a file" + osText + ": " + errorLine;
    return (name.rfind('/', 0) == 0 ? "PostScript error " : "Ghostscript error: ") + errorLine;
}

void RunFailure::SetChildEnd(int code, bool signalled, int pages, bool stopping)
{
    if (code == 0)
        return;
    std::lock_guard<std::mutex> guard(mutex);
    if (!line.empty())
        EndOutputLine();  // a last line without its newline
    const std::string end = signalled ? "signal " + std::to_string(code - 128)
                                      : "exit code " + std::to_string(code);
    if (stopping) {
        SetLocked(RIP_STAGE_STOP, "Ghostscript was ended by the stop (" + end + ") after " + Pages(pages),
                  false);
        return;
    }
    // A Ghostscript that was killed wrote no report: what looks like one is
    // the job's.
    std::string cause = signalled ? std::string() : ReportedCause();
    if (cause.empty())
        cause = signalled ? "Ghostscript was killed" : "Ghostscript failed";
    SetLocked(RIP_STAGE_RENDER, cause + " after " + Pages(pages) + " (Ghostscript " + end + ")", false);
}

bool RunFailure::ReportsMemoryExhausted() const
{
    std::lock_guard<std::mutex> guard(mutex);
    return Contains(errorLine, "VMerror") ||
           Platform::ClassifyReportedError(osError) == Platform::ReportedError::OutOfMemory;
}

std::string RunFailure::UnopenedFile() const
{
    static const char tag[] = "Could not open the file ";
    for (const std::string* text : {&errorOutput, &errorLines}) {
        const std::size_t at = text->find(tag);
        if (at == std::string::npos)
            continue;
        const std::size_t start = at + sizeof tag - 1;
        std::string name = text->substr(start, std::min(text->find('\n', start), text->size()) - start);
        // Ghostscript ends the name with "." (after a blank or a quote), and
        // quotes it in some versions; a pipe's name loses its "%pipe%".
        if (!name.empty() && name.back() == '.')
            name.pop_back();
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
        if (name.size() >= 2 && name.front() == '\'' && name.back() == '\'')
            name = name.substr(1, name.size() - 2);
        return name;
    }
    return std::string();
}

void RunFailure::SetOutputPrefix(const std::string& prefix)
{
    std::lock_guard<std::mutex> guard(mutex);
    outputPrefix = prefix;
}

std::string RunFailure::NoPagesCause(std::string& detail) const
{
    // Ghostscript's PDF interpreter marks its messages on standard error with
    // "****"; the note it ends with after repairing a file names no cause,
    // but the list of errors before it does.
    std::string cause;
    detail.clear();
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
    return cause.empty() ? errorLine : cause;
}

bool RunFailure::NamesNoPagesCause() const
{
    std::lock_guard<std::mutex> guard(mutex);
    std::string detail;
    return !NoPagesCause(detail).empty();
}

std::string RunFailure::GetNoPagesReason() const
{
    std::lock_guard<std::mutex> guard(mutex);
    std::string detail;
    std::string cause = NoPagesCause(detail);
    if (cause.empty())
        cause = "it has no page Ghostscript can read";
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
    failure.reason = Printable(reason, false);
    failure.report = stage == RIP_STAGE_NONE ? std::wstring() : Printable(errorLines + errorOutput, true);
    return stage != RIP_STAGE_NONE;
}

}  // namespace Quillet
