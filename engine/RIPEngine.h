// RIPEngine: the rendering service, the one implementation of IRIPBase.
#pragma once

#include <quillet/IRIPBase.h>

#include "capture/OfficePool.h"
#include "engine/DocumentJob.h"
#include "engine/JobHeader.h"
#include "engine/PageNaming.h"
#include "engine/PageQueue.h"
#include "engine/RunListener.h"
#include "engine/RunSetup.h"
#include "engine/SharedPtr.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace Quillet {

class Document;
class JobInfo;
class RIPEngineImpl;

/// One service: the job description, the capture of its document, the
/// Ghostscript runner, the table of finished pages and the values read from
/// the job header.
///
/// Created by CreateRIPService and destroyed through Release. Every public
/// operation of IRIPBase is called on the host's threads. The engine decides
/// each run on the host's thread as one RunSetup and hands it to its runner;
/// the runner reports back on its monitor thread through the engine's
/// RunListener side only. The page table and the header scan have locks of
/// their own, held for short steps: no host code and no reading of page
/// files runs under a lock of the engine, so a page callback may wait for
/// another host thread that calls into the engine, and that call answers at
/// once.
class RIPEngine : public IRIPBase, private RunListener {
public:
    /// Copies the holder (the engine shares the job description from here on)
    /// and creates the runner. Throws on allocation or OS resource failure.
    explicit RIPEngine(const SharedPtr<JobInfo>& job);

    // The service (IRIPBase).
    bool GetPage(std::int32_t pageNumber, BitmapFile& page) override;
    bool GetPages(IPageNotify* notify, bool asynchronous) override;
    bool GetOutputFile(std::wstring& path) override;
    void StartPreview() override;
    /// From a page callback, or from another host thread while one runs, the
    /// run is stopped and its children killed at once; the monitor ends once
    /// the callback has returned.
    void Stop() override;
    void Cancel() override;
    std::int32_t GetPageCount() override;
    /// Also safe inside OnPageReady, and from another host thread while a
    /// callback runs: the engine is then destroyed once the callback (and
    /// the delivery that made it) has returned.
    bool Release() override;
    bool StartRIP() override;
    /// Ends a run first as Stop does; the table is emptied at once.
    bool DeletePages() override;
    std::int32_t GetNumCopies() override;
    bool GetIsCollated() override;
    std::int32_t GetOrientation() override;
    void SetIntent(const std::wstring& intent) override;

    /// Fills args with Ghostscript's arguments for the current settings: one
    /// process rendering every page.
    void BuildGhostscriptArgs(std::vector<std::wstring>& args);
    /// The same; outputAt gets the index of the output entry ("-o" and the
    /// name, or the split/merge parameters), before which a process of a run
    /// gets the switches that select its pages (GetWorkerArgs).
    void BuildGhostscriptArgs(std::vector<std::wstring>& args, std::size_t& outputAt);
    /// The page-file pattern of the current or last run (a new naming in the
    /// output folder and format set now when there was none).
    std::wstring GetPagePattern();

    /// True when each page carries its own orientation, from its shape (a
    /// document we read ourselves, rendered to an image format), rather than
    /// the job header's.
    bool PagesHaveOwnOrientation() const;

    /// The runner, the page table and the header scan, for tests.
    RIPEngineImpl& GetImpl() { return *impl; }
    PageQueue& GetPageQueue() { return pages; }
    JobHeader& GetJobHeader() { return header; }

protected:
    /// Stops the runner (joining its monitor), then releases the job
    /// description. Page files stay on disk.
    ~RIPEngine() override;

private:
    /// Waits until the run's k-th page (k from 1) is ready and copies its
    /// record into page; false once the run ended without it.
    bool WaitForRunPage(std::int32_t k, BitmapFile& page);

    // The runner's reports (RunListener), on its monitor thread.
    void OnRunOutput(const char* bytes, std::size_t count) override;
    void OnPageReady(std::int32_t k, const BitmapFile& page, bool copies) override;
    /// Announces the pages up to k that are due, within the first copy, to
    /// an asynchronous callback, without any lock: it may wait for host
    /// threads that call into the engine.
    void OnPagesCounted(std::int32_t k) override;
    /// Settles the copy detection on the pages produced and announces the
    /// pages of the first copy still due.
    void OnRunEnded(std::int32_t pages) override;
    void OnReleased() override;

    /// The orientation the page records are given: the header's, or
    /// PageQueue::kOwnOrientation.
    std::int32_t GetPageOrientation() const;
    /// The run the current settings and job source describe.
    RunSetup BuildRunSetup(Platform::NativeHandle source, std::chrono::steady_clock::time_point startedAt);
    /// The bounds an office document's layout keeps to, for a run that
    /// began at startedAt.
    OfficeRunBounds GetLayoutBounds(std::chrono::steady_clock::time_point startedAt) const;
    /// Destroys the engine at once (the base Release).
    bool Destroy();
    /// Marks the host's thread as inside a synchronous GetPages.
    struct SyncDelivery {
        explicit SyncDelivery(RIPEngine& engine);
        ~SyncDelivery();
        RIPEngine& engine;
    };

    SharedPtr<JobInfo> jobInfo;
    PageQueue pages;
    JobHeader header;
    /// The page names of the current or last run.
    PageNaming naming;
    /// The printing thread of the current job's capture; its destructor
    /// restores the default queue and deletes the tagged copy.
    std::unique_ptr<Document> document;
    /// The document of the current run read by its path, or none.
    DocumentJob documentJob;
    /// The thread inside a synchronous GetPages, and whether its callback
    /// released the engine.
    std::thread::id deliveryThread;
    bool releaseRequested = false;
    /// Created last and destroyed first (in the destructor's body): its
    /// monitor reports to the members above.
    std::unique_ptr<RIPEngineImpl> impl;
};

}  // namespace Quillet
