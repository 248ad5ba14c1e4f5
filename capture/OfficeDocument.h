// OfficeDocument: an office document laid out as PDF by an office process.
#pragma once

#include <quillet/NonCopyable.h>

#include "platform/PrivateFolder.h"

#include <string>

namespace Quillet {

class OfficePool;
struct OfficeRunBounds;

/// The PDF that the office suite's own export made of one office document,
/// kept in a private folder of its own for as long as the object lives (a
/// run, or a preview, reads it meanwhile). Owned by the engine; used on the
/// host's thread. Nothing throws except on allocation.
class OfficeDocument : private NonCopyable {
public:
    explicit OfficeDocument(const std::wstring& path);

    /// Lays the document out through pool within run's bounds; blocks until
    /// done. False with one line of English in failure (the document is
    /// missing or empty, the suite is not installed or cannot load it, it
    /// took too long or went past a bound of the run).
    bool Convert(OfficePool& pool, const OfficeRunBounds& run, std::string& failure);
    /// The PDF, once Convert succeeded.
    const std::wstring& GetPdfPath() const { return pdf; }

private:
    std::wstring path;
    Platform::PrivateFolder folder;  // holds the PDF; removed with it
    std::wstring pdf;
};

}  // namespace Quillet
