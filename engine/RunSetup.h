// RunSetup: everything one Ghostscript run is, decided on the host's thread
// before it starts and handed to the runner as one value.
#pragma once

#include <quillet/IRIPBase.h>

#include "engine/PageNaming.h"
#include "platform/FileHandle.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Quillet {

/// One run as the engine decided it: what to start, what it reads, where its
/// pages go, its bounds and how its children are confined. A plain value
/// that the runner takes at the start and keeps unchanged for the run; the
/// runner checks what only a start can (the page size, the range, the
/// folders) and fails the run with a reason.
struct RunSetup {
    /// Ghostscript's installation root (its program, GS_LIB, the prolog), the
    /// program, and its arguments (without the program) with the output
    /// entry at outputAt: "-o" and the name, or the host's split/merge
    /// switches, before which a process of a shared run gets the switches
    /// that select its pages.
    std::wstring root;
    std::wstring program;
    std::vector<std::wstring> args;
    std::size_t outputAt = 0;
    /// The children's extra environment (the host's own is never changed).
    std::vector<std::pair<std::wstring, std::wstring>> environment;

    /// Where the job is read from; owned by the engine's job description or
    /// document job, never closed by the runner. Platform::kNullHandle: the
    /// job could not be opened (the run fails).
    Platform::NativeHandle jobSource = Platform::kInvalidHandle;
    /// The document Ghostscript reads by its path (a PDF or EPS document, or
    /// an office document's PDF); empty for a job on the input.
    std::wstring documentFile;
    bool documentIsEps = false;
    /// Repeated pages may be copies (a job that may carry copies as pages:
    /// PostScript without a page range), and whether the job is known to
    /// have pages (a PDF or EPS), so that a run without one failed to read it.
    bool copies = true;
    bool expectsPages = false;
    /// The run's secret tag, the first line every process reads (JobHeader).
    std::string tag;

    /// Where the pages go and what they are called.
    PageNaming naming;
    RIPFormat format = RIP_PNGALPHA;
    /// The size the pages must have (0 when the host set none) and the
    /// resolution (0: Ghostscript's default).
    std::int32_t pageWidth = 0;
    std::int32_t pageHeight = 0;
    std::int32_t resolution = 0;
    /// The host's page range as it set it: (0, 0) is every page; and its
    /// page list as it set it, which takes the range's place when not empty.
    std::int32_t firstPage = 0;
    std::int32_t lastPage = 0;
    std::wstring pageList;
    /// The host's own switches name the output (and replace the prolog); the
    /// folders they write to are writable for the confined children.
    bool splitMerge = false;
    std::vector<std::wstring> splitMergeFolders;

    /// The run's bounds (0: none). The time limit counts from boundsStart,
    /// the host's StartRIP, so that a capture or an office layout is part of
    /// it; bytesBeforeRendering (an office document's PDF) counts against
    /// the byte limit.
    std::chrono::steady_clock::time_point boundsStart;
    std::int32_t timeLimitSeconds = 0;
    std::int64_t maxOutputBytes = 0;
    std::int64_t maxMemoryBytes = 0;
    std::int32_t maxPages = 0;
    std::int64_t maxPagePixels = 0;
    std::uint64_t bytesBeforeRendering = 0;
};

}  // namespace Quillet
