// PageProof: which page of the job each page file of a run's Ghostscript
// processes holds, from the lines the processes write themselves; and
// TaggedLines, which picks a run's own lines out of a process's output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Quillet {

/// Splits a process's standard output into lines and keeps those that begin
/// with the run's secret tag: the prolog's. The job's own text, however long,
/// is passed over as it comes; a line longer than kMaxLine is not one of ours.
///
/// Plain value; one per output stream.
class TaggedLines {
public:
    static constexpr std::size_t kMaxLine = 160;

    explicit TaggedLines(std::string tag = std::string()) : tag(std::move(tag)) {}
    const std::string& GetTag() const { return tag; }
    /// Forgets a line begun and takes a new tag.
    void Reset(std::string newTag);
    /// Reads bytes; calls take(line) for every complete tagged line, with
    /// the tag and its line end included and excluded respectively. take
    /// returns false to stop reading at once (the rest is passed over).
    template <typename Take>
    void Scan(const char* bytes, std::size_t count, Take&& take);

private:
    /// Adds piece to the line begun; false once it cannot be a tagged line.
    bool Extend(const char* piece, std::size_t size);

    std::string tag;
    std::string line;
    bool foreign = false;  // the line begun is not ours
};

/// Reads the literal at text[at...] and moves past it; false when it is
/// not there.
bool ExpectText(const std::string& text, std::size_t& at, const char* literal);
/// Reads the decimal digits at text[at...] into value (saturating at
/// INT32_MAX); false when there are none.
bool ReadNumber(const std::string& text, std::size_t& at, std::int64_t& value);

/// What a shared run's processes say of the pages they render. Every process
/// of a job that each interprets whole writes, for every page it transfers,
/// "TAG Page=J;Files=C;": the job's J-th page, with C page files written
/// before it. Whether the page then becomes file C + 1 is Ghostscript's page
/// list's decision, which some jobs defeat (a job that calls setpagedevice
/// on every page resets the list's count); so a page is placed only once its
/// file is seen: a file C + 1 that exists belongs to the last page that was
/// said with C files before it, because the process writes that line before
/// the file and every later page's line after it.
///
/// A page is then found in whichever process made it, whatever the plan
/// said; it is lost when every process passed it and none made it. A job
/// that replaced the prolog's page procedures (through systemdict) makes
/// files no line speaks for, which would pass for the last page said: so a
/// file alone places a page of the process's own share only, a page of
/// another share waits for the process's next line or for the page's own
/// process to pass it, and files beyond every line make HasUnsaidFiles.
///
/// Plain value; used by a run's monitor thread only.
class PageProof {
public:
    enum class State {
        Made,    ///< in file `index` of `worker`
        NotYet,  ///< a process may still make it
        Lost,    ///< every process passed it without making it
        Absent,  ///< every process ended before it: the job has no such page
    };
    struct Place {
        State state = State::NotYet;
        std::size_t worker = 0;
        std::int32_t index = 0;
    };

    explicit PageProof(std::string tag = std::string(), std::size_t workers = 0);
    void AddWorker();
    std::size_t GetWorkerCount() const { return workers.size(); }

    /// Reads worker w's standard output.
    void Scan(std::size_t w, const char* bytes, std::size_t count);
    /// The file worker w makes for the last page it said, 0 when that page
    /// is placed already (or it said none). Look whether the file exists,
    /// then read all the worker wrote, then tell NoteFile: in that order, a
    /// file is never taken for a later page's.
    std::int32_t GetPendingFile(std::size_t w) const;
    /// File index of worker w existed before its output was read to the end.
    /// Places the page at once where the plan gives it to w; a page of
    /// another share waits for w's next line (or its end), because a job
    /// that replaced the prolog's page procedures makes files no line
    /// speaks for, and the plan's own pages are the ones to trust first.
    void NoteFile(std::size_t w, std::int32_t index);
    /// Worker w ended (or was ended), leaving files page files in all (-1:
    /// not known, for a process the run ended: nothing more is placed). Its
    /// last page, when another share's, is taken from its last file only
    /// once the page's own process passed it without making it.
    void NoteEnd(std::size_t w, std::int32_t files);
    /// Whether a worker made page files that no line speaks for: its pages
    /// cannot be placed, and only a run of one process places them.
    bool HasUnsaidFiles() const { return unsaid; }

    /// Where the job's page (counted from 1 in the job) is.
    Place Find(std::int32_t page) const;
    /// The pages up to page are handed out and never asked for again: their
    /// places are forgotten, so that a job of endless pages grows nothing.
    void Forget(std::int32_t page);
    /// The page files worker w accounted for so far (where to look for more
    /// once it ended).
    std::int32_t GetFilesSaid(std::size_t w) const { return workers.at(w).filesSaid; }
    /// Whether a worker placed a page that the plan gave another, or passed
    /// one of its own: the page lists are not kept.
    bool IsPlanBroken() const { return planBroken; }
    /// Whether worker w made none of its own pages while others made some
    /// of them: its page list is not kept, and it only costs processor time.
    bool IsIdle(std::size_t w) const { return workers.at(w).made == 0 && workers.at(w).madeByOthers > 0; }
    /// Whether the plan gives worker w the job's page: which files place a
    /// page at once, and IsPlanBroken; without it every share is trusted.
    void SetShare(std::function<bool(std::size_t, std::int32_t)> share) { owns = std::move(share); }

private:
    struct Worker {
        TaggedLines lines;
        std::int32_t lastPage = 0;    // the last page said (0: none)
        std::int32_t lastFiles = -1;  // files written before it
        bool pending = false;         // lastPage's file not yet seen nor passed
        bool ended = false;
        std::int32_t filesSaid = 0;     // files its lines account for
        std::int32_t endPage = 0;       // its last page, of another share, in its last file
        std::int32_t endIndex = 0;
        std::int32_t made = 0;          // pages placed in its files
        std::int32_t madeByOthers = 0;  // pages of its share placed in others'
    };
    void TakeLine(std::size_t w, const std::string& line);
    void MarkMade(std::size_t w, std::int32_t page, std::int32_t index);
    void MarkPassed(std::size_t w, std::int32_t page);

    std::string tag;
    std::vector<Worker> workers;
    /// Pages up to this one are handed out.
    std::int32_t forgotten = 0;
    /// Placed pages: the first process that made each.
    std::map<std::int32_t, std::pair<std::size_t, std::int32_t>> placed;
    bool planBroken = false;
    bool unsaid = false;
    /// Whether the plan gives worker w the job's page.
    std::function<bool(std::size_t, std::int32_t)> owns;
};

template <typename Take>
void TaggedLines::Scan(const char* bytes, std::size_t count, Take&& take)
{
    const char* const end = bytes + count;
    for (const char* at = bytes; at < end;) {
        const void* const newline = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        const char* const lineEnd = newline != nullptr ? static_cast<const char*>(newline) : end;
        const bool ours = Extend(at, static_cast<std::size_t>(lineEnd - at));
        if (lineEnd == end)
            return;
        const bool more = !ours || take(line);
        line.clear();
        foreign = false;
        if (!more)
            return;
        at = lineEnd + 1;
    }
}

}  // namespace Quillet
