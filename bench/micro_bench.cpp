// Micro benchmarks of the per-chunk, per-page and per-job work the library adds
// on top of Ghostscript: the job-header scan over each piece of Ghostscript's
// output, the check of each page file before it is handed out, and the
// key/value grammar over a job-key string. Each has a baseline measured in the
// same run (copying the same bytes; reading the same file; one pass over the
// same characters), so the figures read as ratios rather than machine-dependent
// times.
#include "capture/JobInfo.h"
#include "capture/KeyValues.h"
#include "engine/PageCheck.h"
#include "engine/JobHeader.h"
#include "engine/SharedPtr.h"
#include "platform/FileHandle.h"
#include "platform/TextConversion.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
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
    JobHeader header;
    header.Begin();  // as at the start of a run
    for (auto _ : state)
        header.Scan(chunk.data(), chunk.size());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk.size()));
}
BENCHMARK(ScanJobHeaderChunk);

// Page files the size of a letter page at 150 dpi (1275 x 1650): a PNG whose
// rows compress about as a drawn page does, and a JPEG of the same length.
struct PageFiles {
    std::wstring png;
    std::wstring jpeg;

    PageFiles()
    {
        const std::string base = "/tmp/quillet-micro-" + std::to_string(::getpid());
        png = Quillet::FromUtf8(base + ".png");
        jpeg = Quillet::FromUtf8(base + ".jpeg");
        const std::uint32_t width = 1275, height = 1650;
        std::string raw;
        for (std::uint32_t y = 0; y < height; ++y) {
            raw += '\0';
            for (std::uint32_t x = 0; x < width * 3; ++x)
                raw += static_cast<char>((x * 7 + y * 13) % 251 < 40 ? x ^ y : 255);
        }
        std::string packed(compressBound(raw.size()), '\0');
        uLongf packedSize = packed.size();
        compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
                  raw.size(), 6);
        packed.resize(packedSize);
        const auto be32 = [](std::uint32_t v) {
            return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                               static_cast<char>(v)};
        };
        const auto chunk = [&](const char* type, const std::string& data) {
            const std::string body = type + data;
            return be32(data.size()) + body +
                   be32(crc32(0, reinterpret_cast<const Bytef*>(body.data()), body.size()));
        };
        std::ofstream(Quillet::ToUtf8(png), std::ios::binary)
            << "\x89PNG\r\n\x1a\n" << chunk("IHDR", be32(width) + be32(height) + std::string("\x08\x02\0\0\0", 5))
            << chunk("IDAT", packed) << chunk("IEND", "");
        std::string scan(packed.size(), '\0');
        for (std::size_t i = 0; i < scan.size(); ++i)
            scan[i] = static_cast<char>(packed[i] == '\xff' ? 0x7f : packed[i]);
        std::ofstream(Quillet::ToUtf8(jpeg), std::ios::binary)
            << "\xff\xd8\xff\xc0" << std::string("\x00\x11\x08\x06\x72\x04\xfb\x03", 8) << std::string(9, '\x11')
            << "\xff\xda" << std::string("\x00\x0c\x03", 3) << std::string(9, '\0') << scan << "\xff\xd9";
    }
    ~PageFiles()
    {
        std::remove(Quillet::ToUtf8(png).c_str());
        std::remove(Quillet::ToUtf8(jpeg).c_str());
    }
};

const PageFiles& Pages()
{
    static const PageFiles files;
    return files;
}

// Reading the page file once, in the checker's pieces: what any check costs.
void BaselineReadPage(benchmark::State& state, const std::wstring& path)
{
    std::vector<char> buffer(1 << 16);
    std::uint64_t length = 0;
    for (auto _ : state) {
        Platform::UniqueHandle file(Platform::OpenRegularFile(path, length));
        std::size_t count = 0;
        for (std::uint64_t at = 0; Platform::ReadAt(file.Get(), at, buffer.data(), buffer.size(), count) && count > 0;
             at += count)
            benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
}

void CheckPage(benchmark::State& state, const std::wstring& path, RIPFormat format)
{
    std::uint64_t length = 0;
    const Platform::UniqueHandle probe(Platform::OpenRegularFile(path, length));
    for (auto _ : state) {
        if (CheckPageFile(path, format, 1275, 1650) != PageFileState::Whole)
            state.SkipWithError("the page file is not whole");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(length));
}

BENCHMARK_CAPTURE(BaselineReadPage, png, Pages().png);
BENCHMARK_CAPTURE(CheckPage, png, Pages().png, RIP_PNG16M);
BENCHMARK_CAPTURE(BaselineReadPage, jpeg, Pages().jpeg);
BENCHMARK_CAPTURE(CheckPage, jpeg, Pages().jpeg, RIP_JPEG);

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
