// The runner tests' fixture: jobs the tests write, services writing small
// pages into a scratch folder, and what the tests read back.
#pragma once

#include "DocumentSupport.h"
#include "support/Files.h"
#include "support/ScopedEnv.h"

#include "engine/GhostscriptArgs.h"
#include "engine/OutputFormats.h"
#include "engine/PageCheck.h"
#include "engine/RIPEngine.h"
#include "engine/RIPEngineImpl.h"
#include "platform/TextConversion.h"
#include "support/HelperProcess.h"
#include "support/PrivateCups.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace Quillet {

// The page kinds of the test jobs. Capitals: one page size each, so that page
// files of one kind are equal and files of different kinds differ in size.
// Small letters: all of one size; 'a' is blank, the others draw a line that
// ends at a height of their own, so uncompressed pages differ only in content.
inline std::string PageOf(char kind)
{
    const bool sized = kind >= 'A' && kind <= 'Z';
    const int width = sized ? 100 + 60 * (kind - 'A') : 100;
    std::ostringstream page;
    page << "<< /PageSize [" << width << " 100] >> setpagedevice\n";
    if (sized || kind != 'a')
        page << "newpath 10 10 moveto " << width - 10 << " " << (sized ? 90 : 20 + 6 * (kind - 'a'))
             << " lineto 4 setlinewidth stroke\n";
    return page.str() + "showpage\n";
}

/// A job of count pages that all differ, each written out in full (so that
/// the job is long, not a loop Ghostscript reads at once).
inline std::string DistinctPages(int count)
{
    std::ostringstream job;
    job << "%!PS\n<< /PageSize [100 100] >> setpagedevice\n";
    for (int n = 0; n < count; ++n)
        job << "newpath " << n % 90 + 5 << " 5 moveto " << n / 90 * 20 + 5 << " 95 lineto stroke showpage\n";
    return job.str();
}

/// A job with one page per letter of kinds ("ABAB": two copies of two pages).
inline std::string JobOf(const std::string& kinds, const std::string& tail = std::string())
{
    std::string job = "%!PS\n";
    for (char kind : kinds)
        job += PageOf(kind);
    return job + tail;
}

using QuilletTest::ChildrenOfThisProcess;

inline std::size_t CountEntries(const char* folder)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

/// This process's folder watches.
inline std::size_t CountWatches()
{
    return QuilletTest::OpenDescriptorCount("anon_inode:inotify");
}

/// True when every page the engine hands out is a whole file; the count in pages.
inline bool AllPagesWhole(RIPEngine* engine, int& pages)
{
    pages = 0;
    for (BitmapFile page; engine->GetPage(pages + 1, page); ++pages) {
        if (CheckPageFile(page.GetFilePath(), engine->GetOutputFormat()) != PageFileState::Whole)
            return false;
    }
    return true;
}

/// Collects OnPageReady calls.
class Recorder : public IPageNotify {
public:
    void OnPageReady(std::int32_t pageNumber, BitmapFile& page) override
    {
        std::lock_guard<std::mutex> guard(mutex);
        numbers.push_back(pageNumber);
        orientations.push_back(page.Orientation());
        paths.push_back(page.GetFilePath());
        threads.push_back(std::this_thread::get_id());
    }
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::vector<std::int32_t> numbers;
    std::vector<std::int32_t> orientations;
    std::vector<std::wstring> paths;
};

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string program = ToUtf8(GetGhostscriptProgram(GetGhostscriptRoot()));
        if (::access(program.c_str(), X_OK) != 0)
            GTEST_SKIP() << "no Ghostscript at " << program;
    }

    // Runs use two processes whatever the machine has, unless a test says
    // otherwise.
    QuilletTest::ScopedEnv processors{"NUMBER_OF_PROCESSORS", "2"};
    // The test jobs' small pages would not pay for a second process.
    QuilletTest::ScopedEnv sharing{"QUILLET_SHARING", "always"};

    void TearDown() override
    {
        for (RIPEngine* engine : engines)
            engine->Release();
    }

    fs::path WriteJob(const std::string& name, const std::string& text) { return scratch.Write(name, text); }

    /// A service for the job params (a job file's path), writing small pages
    /// into folder.
    RIPEngine* Engine(const std::wstring& params, const fs::path& folder)
    {
        auto* engine = static_cast<RIPEngine*>(CreateRIPService(params));
        engines.push_back(engine);
        engine->SetOutputFolder(FromUtf8(folder.u8string()));
        engine->SetResolution(36);
        engine->SetOutputFormat(RIP_PNG16M);
        return engine;
    }
    RIPEngine* Engine(const fs::path& job, const fs::path& folder) { return Engine(FromUtf8(job.u8string()), folder); }
    RIPEngine* Engine(const fs::path& path) { return Engine(path, output); }

    /// A service whose job arrives through a new FIFO at fifo, so that a test
    /// can act while the run is certainly in progress; null if the FIFO
    /// cannot be made.
    RIPEngine* FifoEngine(const fs::path& fifo)
    {
        return ::mkfifo(fifo.c_str(), 0600) == 0 ? Engine(L"printjobfile=" + FromUtf8(fifo.u8string()), output)
                                                 : nullptr;
    }

    /// Blocks until the engine's run has ended.
    static void WaitForEnd(RIPEngine* engine)
    {
        for (std::int32_t n = 1; engine->GetImpl().WaitForPage(n); ++n) {
        }
    }

    /// Checks the failure the service reports, through the public accessor:
    /// its stage, and a reason that begins with start and ends with end; the
    /// failure, for a closer look.
    static RIPFailure ExpectFailure(IRIPBase* engine, RIPStage stage, const std::wstring& start,
                                    const std::wstring& end = std::wstring())
    {
        RIPFailure failure;
        EXPECT_EQ(GetRIPStatus(engine)->GetLastFailure(failure), stage != RIP_STAGE_NONE);
        EXPECT_EQ(failure.stage, stage) << ToUtf8(failure.reason);
        EXPECT_EQ(failure.reason.rfind(start, 0), 0u) << ToUtf8(failure.reason);
        EXPECT_TRUE(failure.reason.size() >= end.size() &&
                    failure.reason.compare(failure.reason.size() - end.size(), end.size(), end) == 0)
            << ToUtf8(failure.reason);
        EXPECT_LE(ToUtf8(failure.report).size(), 4096u);
        return failure;
    }

    /// The paths of the pages GetPage gives from page first on, and their
    /// numbers.
    static std::vector<std::wstring> Pages(IRIPBase* engine, std::int32_t first = 1,
                                           std::vector<std::int32_t>* numbers = nullptr)
    {
        std::vector<std::wstring> paths;
        BitmapFile page;
        for (std::int32_t n = first; engine->GetPage(n, page); ++n) {
            paths.push_back(page.GetFilePath());
            if (numbers != nullptr)
                numbers->push_back(n);
        }
        return paths;
    }

    /// The contents of those pages.
    static std::vector<std::string> Contents(IRIPBase* engine, std::int32_t first = 1,
                                             std::vector<std::int32_t>* numbers = nullptr)
    {
        std::vector<std::string> contents;
        for (const std::wstring& path : Pages(engine, first, numbers))
            contents.push_back(QuilletTest::ReadWholeFile(ToUtf8(path)));
        return contents;
    }

    const QuilletTest::ScratchFolder scratch{"quillet-runner"};
    const fs::path dir = scratch.path;
    const fs::path output = dir / "pages";
    std::vector<RIPEngine*> engines;
};

inline bool Exists(const std::wstring& path) { return ::access(ToUtf8(path).c_str(), F_OK) == 0; }

}  // namespace Quillet
