// RunListener: what a Ghostscript run reports to whoever started it.
#pragma once

#include <quillet/BitmapFile.h>

#include <cstddef>
#include <cstdint>

namespace Quillet {

/// The runner's reports, all on the run's monitor thread and in this order
/// for each page: OnPageReady, then (once the runner counts the page)
/// OnPagesCounted. The runner holds no lock of its own during any of them.
/// OnPagesCounted and OnRunEnded may run host code, each callback through
/// RIPEngineImpl::CallHost; the others must not.
class RunListener {
public:
    /// The standard output of the run's first process, piece by piece.
    virtual void OnRunOutput(const char* bytes, std::size_t count) = 0;
    /// The run's page k is whole under its run name: store it. copies false:
    /// the job carries no copies as pages (a PDF, a page range).
    virtual void OnPageReady(std::int32_t k, const BitmapFile& page, bool copies) = 0;
    /// The pages up to k are counted: waiters may have them now.
    virtual void OnPagesCounted(std::int32_t k) = 0;
    /// The run ended by itself (not by a stop) with pages pages.
    virtual void OnRunEnded(std::int32_t pages) = 0;
    /// The host released the engine while a page callback ran: the runner's
    /// last act, once it is done with everything of its own.
    virtual void OnReleased() = 0;

protected:
    /// Never destroyed through this interface.
    ~RunListener() = default;
};

}  // namespace Quillet
