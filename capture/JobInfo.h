// JobInfo, the description of the one job a service works on, and
// JobInfoImpl, the owner of the job's data-source handle.
#pragma once

#include "platform/FileHandle.h"
#include "platform/ZTypes.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Quillet {

/// Holds the handle the job data is read through: duplicated from the print
/// path's process or opened from the print-job file. Owned by JobInfo.
class JobInfoImpl {
public:
    JobInfoImpl() = default;
    virtual ~JobInfoImpl() = default;
    JobInfoImpl(const JobInfoImpl&) = delete;
    JobInfoImpl& operator=(const JobInfoImpl&) = delete;

    /// Duplicates handle handleValue of process processId into handle. On
    /// success a handle held before is closed (a later job replaces an
    /// earlier one, nothing leaks); on failure (no such process, one we may
    /// not read, no such handle) handle is left as it was. Returns success.
    bool DuplicateFrom(std::uint32_t processId, std::int32_t handleValue);

    /// The data-source handle, or invalid; closed once, by its owner.
    Platform::UniqueHandle handle;
};

/// Where the job's document and PostScript data are, built from the service
/// parameter string and updated from each job-key string received (both in
/// the grammar of ParseKeyValues). Held by the engine; all calls come from the
/// host's thread that creates the service and starts the job; nothing is
/// locked. Never copied.
class JobInfo {
public:
    /// Parses params. A string that names no "docname" is the document's path
    /// itself, and its own print job too when its extension is "ps" (any case).
    explicit JobInfo(const std::wstring& params);
    virtual ~JobInfo();
    JobInfo(const JobInfo&) = delete;
    JobInfo& operator=(const JobInfo&) = delete;

    /// Applies keys: "docname" and "password" (only when given),
    /// "printjobfile" then "file" (reset first), "handle" with optional "pid"
    /// (default: this process), and "printername", which without "handle" and
    /// without a print-job file means standard input. Returns false only when
    /// a "handle" is given and cannot be duplicated; a "handle" or "pid" value
    /// that is not a number (or out of range) names no handle or process, so
    /// that duplication fails.
    bool Parse(const std::wstring& keys);

    std::wstring GetDocName() const { return docName; }
    std::wstring GetPrintJobFile() const { return printJobFile; }

    /// Whether the job data can be read now: standard input is open; a pipe
    /// name ("\\.\pipe\NAME") has its FIFO in Platform::PipeFolder(); otherwise
    /// printJobFile is an existing file or FIFO (not a folder or device). A
    /// held handle alone does not make the job ready.
    bool IsDataSourceReady() const;

    /// The handle to read the job from, still owned here (or by the process,
    /// for standard input): for a standard-input job the held handle as it is,
    /// else standard input; otherwise the held handle rewound to its start, or
    /// printJobFile (a pipe name's FIFO) opened and kept. Never waits for a
    /// FIFO's writer. Platform::kNullHandle when nothing can be opened (nor
    /// standard input is open); the next call then tries again.
    Platform::NativeHandle OpenDataSource();

    /// Makes handle (a file) the job's data source, as a "handle" key would,
    /// and forgets the print-job file: a preview then reads the job from it,
    /// from its start each time.
    void SetDataSource(Platform::UniqueHandle handle);

    /// Intent string; written by the engine, read by the preview launcher.
    std::wstring intent;
    /// Path of the input document.
    std::wstring docName;
    /// File, FIFO or pipe name ("\\.\pipe\NAME") the print job is read from.
    std::wstring printJobFile;
    /// The password of an encrypted PDF document; it goes to Ghostscript
    /// through its standard input, never on a command line.
    std::wstring password;
    /// The job arrives on the held handle or, if none, on standard input.
    bool useStandardInput = false;
    std::unique_ptr<JobInfoImpl> impl;
};

}  // namespace Quillet
