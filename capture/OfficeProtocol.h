// OfficeProtocol: the line protocol between the library and its office
// process (tools/qvoffice), written once for both sides. Header-only: the
// office process is built without the library.
//
// One line each way, on the process's standard input and output:
//   -> "ready"                 the suite has started and is warmed up
//   -> "error REASON"          it could not start; the process then ends
//   <- "convert DOCUMENT PDF"  lay out DOCUMENT (a copy in the process's
//                              folder) as PDF
//   -> "done BYTES"            PDF written; BYTES: the most resident memory so far
//   -> "failed REASON"         the document could not be laid out
// Paths are percent-encoded (%XX for every byte outside [A-Za-z0-9/._-]), so
// a line holds no blank or line break of a path; a reason has its line
// breaks turned into blanks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace Quillet {
namespace OfficeProtocol {

/// A path (UTF-8 bytes) as a line carries it.
inline std::string EncodePath(const std::string& path)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
            byte == '/' || byte == '.' || byte == '_' || byte == '-') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

inline int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

/// The path a line carries; a "%" not followed by two hex digits stands for
/// itself.
inline std::string DecodePath(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

/// The request to lay out document as pdf, line break included.
inline std::string ConvertRequest(const std::string& document, const std::string& pdf)
{
    return "convert " + EncodePath(document) + " " + EncodePath(pdf) + "\n";
}

/// The paths of a convert request (a line without its break); false for any
/// other line.
inline bool ParseConvertRequest(const std::string& line, std::string& document, std::string& pdf)
{
    static const std::string kConvert = "convert ";
    const std::size_t space = line.find(' ', kConvert.size());
    if (line.compare(0, kConvert.size(), kConvert) != 0 || space == std::string::npos ||
        line.find(' ', space + 1) != std::string::npos)
        return false;
    document = DecodePath(line.substr(kConvert.size(), space - kConvert.size()));
    pdf = DecodePath(line.substr(space + 1));
    return true;
}

enum class ReplyKind { Ready, Error, Done, Failed, Other };

/// One reply of the office process.
struct Reply {
    ReplyKind kind = ReplyKind::Other;
    /// The reason of an error or failure; the whole line of any other reply.
    std::string text;
    /// Of "done": the most memory the process has held resident so far.
    std::int64_t residentBytes = 0;
};

/// A reply's line, break included; what would break the line is a blank.
inline std::string ReplyLine(const char* word, const std::string& text)
{
    std::string line = word + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line + "\n";
}

inline std::string ReadyReply()
{
    return ReplyLine("ready", std::string());
}

inline std::string ErrorReply(const std::string& reason)
{
    return ReplyLine("error ", reason);
}

inline std::string DoneReply(std::uint64_t residentBytes)
{
    return ReplyLine("done ", std::to_string(residentBytes));
}

inline std::string FailedReply(const std::string& reason)
{
    return ReplyLine("failed ", reason);
}

/// A reply read from the process (a line without its break).
inline Reply ParseReply(const std::string& line)
{
    const auto starts = [&line](const char* word) { return line.rfind(word, 0) == 0; };
    Reply reply;
    if (line == "ready") {
        reply.kind = ReplyKind::Ready;
    } else if (starts("error ")) {
        reply = {ReplyKind::Error, line.substr(6)};
    } else if (starts("failed ")) {
        reply = {ReplyKind::Failed, line.substr(7)};
    } else if (starts("done ")) {
        reply.kind = ReplyKind::Done;
        reply.residentBytes = std::strtoll(line.c_str() + 5, nullptr, 10);
    } else {
        reply.text = line;
    }
    return reply;
}

}  // namespace OfficeProtocol
}  // namespace Quillet
