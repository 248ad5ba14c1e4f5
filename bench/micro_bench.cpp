// Micro benchmarks of the per-chunk and per-job work the library adds on top of
// Ghostscript: the job-header scan over each piece of Ghostscript's output, and
// the key/value grammar over a job-key string. Each has a baseline measured in
// the same run (copying the same bytes; one pass over the same characters), so
// the figures read as ratios rather than machine-dependent times.
#include "capture/JobInfo.h"
#include "capture/KeyValues.h"
#include "engine/RIPEngine.h"
#include "engine/SharedPtr.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

using namespace Quillet;

namespace {

// 8192 bytes of typical Ghostscript chatter without the header line, the case
// that costs most: every byte goes through the line scan, and every line is
// compared with the run's tag.
std::string OutputChunk()
{
    std::string chunk;
    while (chunk.size() < 8192)
        chunk += "Loading font Helvetica from %rom%Resource/Font/NimbusSans-Regular... 4321 1234 done.\n";
    chunk.resize(8192);
    return chunk;
}

void BaselineCopyChunk(benchmark::State& state)
{
    const std::string chunk = OutputChunk();
    std::vector<char> sink(chunk.size());
    for (auto _ : state) {
        std::memcpy(sink.data(), chunk.data(), chunk.size());
        benchmark::DoNotOptimize(sink.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}
BENCHMARK(BaselineCopyChunk);

void ScanJobHeaderChunk(benchmark::State& state)
{
    const std::string chunk = OutputChunk();
    IRIPBase* service = CreateRIPService(L"");
    auto* engine = static_cast<RIPEngine*>(service);
    engine->BeginHeaderScan();  // as at the start of a run
    for (auto _ : state)
        engine->ScanJobHeader(chunk.data(), chunk.size());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
    service->Release();
}
BENCHMARK(ScanJobHeaderChunk);

std::wstring JobKeys()
{
    return L"printjobfile=\"/var/spool/quillet/qv1234n5abcdef.ps\" "
           L"docname=\"/home/user/Documents/Quarterly report (final).odt\" "
           L"-printername \"QV Page Glance\" -intent proof handle=17 pid=4242";
}

void BaselineScanKeys(benchmark::State& state)
{
    const std::wstring keys = JobKeys();
    for (auto _ : state) {
        std::size_t blanks = 0;
        for (wchar_t c : keys)
            blanks += c == L' ';
        benchmark::DoNotOptimize(blanks);
    }
}
BENCHMARK(BaselineScanKeys);

void ParseJobKeys(benchmark::State& state)
{
    const std::wstring keys = JobKeys();
    KeyValueMap map;
    for (auto _ : state)
        benchmark::DoNotOptimize(ParseKeyValues(keys, map));
}
BENCHMARK(ParseJobKeys);

}  // namespace

BENCHMARK_MAIN();
