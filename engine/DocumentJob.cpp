// DocumentJob: a document Ghostscript reads by its path, and the password
// preamble on its input.
#include "engine/DocumentJob.h"

#include "platform/Pipe.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"

#include <stdexcept>
#include <utility>

namespace Quillet {

namespace {

/// The PostScript that hands Ghostscript's PDF interpreter the password: a
/// string whose every byte is an octal escape, so no byte of the password
/// can end it early.
std::string PasswordPreamble(const std::wstring& password)
{
    if (password.empty())
        return std::string();
    std::string text = "/PDFPassword (";
    for (const char c : ToUtf8(password)) {
        const auto byte = static_cast<unsigned char>(c);
        text += '\\';
        text += static_cast<char>('0' + (byte >> 6));
        text += static_cast<char>('0' + ((byte >> 3) & 7));
        text += static_cast<char>('0' + (byte & 7));
    }
    return text + ") def\n";
}

}  // namespace

DocumentJob::DocumentJob(std::wstring path, bool eps, std::unique_ptr<OfficeDocument> office)
    : path(std::move(path)), eps(eps), office(std::move(office))
{
}

std::uint64_t DocumentJob::GetBytesHeld() const
{
    unsigned long long bytes = 0;
    if (office && !ZFileStorage(ZString(path)).GetSize(bytes))
        bytes = 0;
    return bytes;
}

Platform::NativeHandle DocumentJob::OpenPreamble(const std::wstring& password, std::string& why)
{
    // The password goes through Ghostscript's input: a command line or an
    // environment could be read by others, a pipe cannot.
    preamble.Close();
    const std::string text = eps ? std::string() : PasswordPreamble(password);
    Platform::PipePair pipe;
    if (!Platform::CreatePipe(pipe) || !Platform::SetNonBlocking(pipe.write.Get(), true))
        throw std::runtime_error("Unable to create data source pipe.");
    std::size_t written = 0;
    if (!text.empty() &&
        (Platform::WriteSome(pipe.write.Get(), text.data(), text.size(), written) != Platform::IoStatus::Ok ||
         written != text.size())) {
        why = "the PDF password is too long";
        return Platform::kNullHandle;
    }
    // Closing the write end here ends Ghostscript's input after the preamble.
    preamble = std::move(pipe.read);
    return preamble.Get();
}

}  // namespace Quillet
