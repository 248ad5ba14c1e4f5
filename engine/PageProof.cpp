// PageProof: the pages of a run's processes placed by what each says of
// them; TaggedLines: the run's own lines in a process's output.
#include "engine/PageProof.h"

#include <algorithm>
#include <climits>

namespace Quillet {

bool ExpectText(const std::string& text, std::size_t& at, const char* literal)
{
    const std::string expected(literal);
    if (text.compare(at, expected.size(), expected) != 0)
        return false;
    at += expected.size();
    return true;
}

bool ReadNumber(const std::string& text, std::size_t& at, std::int64_t& value)
{
    const std::size_t first = at;
    value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        value = std::min<std::int64_t>(value * 10 + (text[at] - '0'), INT32_MAX);
    return at > first;
}

void TaggedLines::Reset(std::string newTag)
{
    tag = std::move(newTag);
    line.clear();
    foreign = false;
}

bool TaggedLines::Extend(const char* piece, std::size_t size)
{
    if (foreign)
        return false;
    line.append(piece, size);
    const std::size_t compared = std::min(line.size(), tag.size());
    foreign = tag.empty() || line.size() > kMaxLine || line.compare(0, compared, tag, 0, compared) != 0;
    if (foreign)
        line.clear();
    return !foreign;
}

PageProof::PageProof(std::string tag, std::size_t count) : tag(std::move(tag))
{
    for (std::size_t w = 0; w < count; ++w)
        AddWorker();
}

void PageProof::AddWorker()
{
    workers.emplace_back();
    workers.back().lines.Reset(tag);
}

void PageProof::Scan(std::size_t w, const char* bytes, std::size_t count)
{
    workers.at(w).lines.Scan(bytes, count, [this, w](const std::string& line) {
        TakeLine(w, line);
        return true;
    });
}

void PageProof::TakeLine(std::size_t w, const std::string& line)
{
    // Only the prolog's page line, exactly in its form; the header line
    // shares the tag and is passed over.
    std::size_t at = 0;
    std::int64_t page = 0;
    std::int64_t files = 0;
    if (!ExpectText(line, at, tag.c_str()) || !ExpectText(line, at, " Page=") || !ReadNumber(line, at, page) ||
        !ExpectText(line, at, ";Files=") || !ReadNumber(line, at, files) || !ExpectText(line, at, ";") ||
        at != line.size() || page < 1)
        return;
    Worker& worker = workers[w];
    if (worker.ended)
        return;
    if (worker.pending) {
        // One file more since the last page said: that page made it. The
        // same count: it was passed. Any other count means files nobody
        // said (or a count gone back): nothing is placed on it.
        if (files == worker.lastFiles + 1)
            MarkMade(w, worker.lastPage, static_cast<std::int32_t>(files));
        else
            MarkPassed(w, worker.lastPage);
    }
    if (files > worker.filesSaid)
        unsaid = true;  // files were made that no line spoke for
    worker.lastPage = static_cast<std::int32_t>(page);
    worker.lastFiles = static_cast<std::int32_t>(files);
    worker.filesSaid = std::max(worker.filesSaid, worker.lastFiles);
    worker.pending = true;
}

std::int32_t PageProof::GetPendingFile(std::size_t w) const
{
    const Worker& worker = workers.at(w);
    return worker.pending && !worker.ended ? worker.lastFiles + 1 : 0;
}

void PageProof::NoteFile(std::size_t w, std::int32_t index)
{
    const Worker& worker = workers.at(w);
    if (worker.pending && !worker.ended && index == worker.lastFiles + 1 && (!owns || owns(w, worker.lastPage)))
        MarkMade(w, worker.lastPage, index);
}

void PageProof::NoteEnd(std::size_t w, std::int32_t files)
{
    Worker& worker = workers.at(w);
    if (worker.ended)
        return;
    if (worker.pending && files == worker.lastFiles + 1 && owns && !owns(w, worker.lastPage)) {
        // One file after the last line: the last page, or a page the job
        // made without a line while the page list passed over the last.
        // The page's own process decides first.
        worker.endPage = worker.lastPage;
        worker.endIndex = files;
        worker.filesSaid = files;
        worker.pending = false;
    } else if (worker.pending && files == worker.lastFiles + 1) {
        MarkMade(w, worker.lastPage, files);
    } else if (worker.pending) {
        MarkPassed(w, worker.lastPage);
    }
    if (files > worker.filesSaid)
        unsaid = true;
    worker.ended = true;
}

void PageProof::MarkMade(std::size_t w, std::int32_t page, std::int32_t index)
{
    workers[w].pending = false;
    workers[w].filesSaid = std::max(workers[w].filesSaid, index);
    ++workers[w].made;
    if (page <= forgotten || !placed.emplace(page, std::make_pair(w, index)).second || !owns || owns(w, page))
        return;  // the first maker keeps a page
    planBroken = true;
    for (std::size_t v = 0; v < workers.size(); ++v)
        if (owns(v, page))
            ++workers[v].madeByOthers;
}

void PageProof::MarkPassed(std::size_t w, std::int32_t page)
{
    workers[w].pending = false;
    if (owns && owns(w, page))
        planBroken = true;
}

void PageProof::Forget(std::int32_t page)
{
    forgotten = std::max(forgotten, page);
    placed.erase(placed.begin(), placed.upper_bound(page));
}

PageProof::Place PageProof::Find(std::int32_t page) const
{
    Place place;
    const auto found = placed.find(page);
    if (found != placed.end()) {
        place.state = State::Made;
        place.worker = found->second.first;
        place.index = found->second.second;
        return place;
    }
    bool reached = false;
    for (const Worker& worker : workers) {
        // A process still before the page, or on it with its file not yet
        // seen, may make it.
        if (!worker.ended && (worker.lastPage < page || (worker.lastPage == page && worker.pending)))
            return place;
        reached = reached || worker.lastPage >= page;
    }
    for (std::size_t w = 0; w < workers.size(); ++w) {
        if (workers[w].endPage == page) {
            place.state = State::Made;
            place.worker = w;
            place.index = workers[w].endIndex;
            return place;
        }
    }
    place.state = reached ? State::Lost : State::Absent;
    return place;
}

}  // namespace Quillet
