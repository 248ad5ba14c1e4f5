// DocumentJob: a document Ghostscript reads by its path (a PDF or EPS
// document, or an office document's PDF), with what it reads before it.
#pragma once

#include "capture/OfficeDocument.h"
#include "platform/FileHandle.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Quillet {

/// The document of a run that needs no printing, or none (a job that comes
/// on Ghostscript's input). Holds an office document's PDF for as long as it
/// lives, and the read end of what Ghostscript reads before the document.
/// Owned by the engine and used on the host's thread.
class DocumentJob {
public:
    /// No document: the job comes on the input.
    DocumentJob() = default;
    /// The document at path (an EPS picture when eps), and the office
    /// document whose PDF it is, if any.
    DocumentJob(std::wstring path, bool eps, std::unique_ptr<OfficeDocument> office);
    DocumentJob(DocumentJob&& other) noexcept = default;
    DocumentJob& operator=(DocumentJob&& other) noexcept = default;

    bool IsDocument() const { return !path.empty(); }
    const std::wstring& GetPath() const { return path; }
    bool IsEps() const { return eps; }
    /// Bytes the job holds on disk before Ghostscript starts (an office
    /// document's PDF), which count against a run's byte limit.
    std::uint64_t GetBytesHeld() const;
    /// Opens what Ghostscript reads on its input before the document (a
    /// PDF's password), which is the run's job source, held here. Returns
    /// Platform::kNullHandle with why when the password does not fit. Throws
    /// std::runtime_error "Unable to create data source pipe.".
    Platform::NativeHandle OpenPreamble(const std::wstring& password, std::string& why);

private:
    std::wstring path;
    bool eps = false;
    std::unique_ptr<OfficeDocument> office;
    Platform::UniqueHandle preamble;
};

}  // namespace Quillet
