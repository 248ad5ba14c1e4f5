// PclWriter: PCL raster output of the IJS server (the subset is described in PclWriter.h).
#include "PclWriter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <unistd.h>

namespace Qvijs {
namespace {

constexpr char kEsc = '\x1b';
constexpr size_t kFlushSize = 256 * 1024;
constexpr int kMaxDimension = 1 << 20;

// 8x8 ordered-dither thresholds: a grey level v prints black where v < 4 * entry + 2, so 0 is solid
// black, 255 is blank paper and a mid grey gives an even half-tone pattern.
constexpr uint8_t kBayer[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26},
    {12, 44, 4, 36, 14, 46, 6, 38}, {60, 28, 52, 20, 62, 30, 54, 22},
    {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21},
};

struct PaperSize {
    int code;
    double shortSide;  // inches
    double longSide;
};
constexpr PaperSize kPaperSizes[] = {
    {1, 7.25, 10.5}, {2, 8.5, 11.0}, {3, 8.5, 14.0},      {6, 11.0, 17.0},
    {25, 5.83, 8.27}, {26, 8.27, 11.69}, {27, 11.69, 16.54},
};

// The PCL paper size code of a page, or 0 when it matches no known paper. The tolerance covers the
// rounding of the page to whole pixels at coarse resolutions.
int PaperCode(const PageFormat& f) {
    double w = f.width / f.xResolution;
    double h = f.height / f.yResolution;
    double shortSide = std::min(w, h), longSide = std::max(w, h);
    double tolerance = std::max(0.05, 1.5 / std::min(f.xResolution, f.yResolution));
    int best = 0;
    double bestError = 0;
    for (const PaperSize& p : kPaperSizes) {
        double error = std::max(std::fabs(shortSide - p.shortSide), std::fabs(longSide - p.longSide));
        if (error <= tolerance && (best == 0 || error < bestError)) {
            best = p.code;
            bestError = error;
        }
    }
    return best;
}

bool IsGrey(const PageFormat& f) { return f.channels == 1; }

}  // namespace

void PackBits(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < size) {
        size_t run = 1;
        while (i + run < size && run < 128 && data[i + run] == data[i]) ++run;
        if (run >= 3) {
            out.push_back(static_cast<uint8_t>(257 - run));
            out.push_back(data[i]);
            i += run;
            continue;
        }
        // A literal stretch ends where a run of three starts: shorter repeats cost more as runs.
        size_t start = i;
        while (i < size && i - start < 128) {
            if (i + 2 < size && data[i] == data[i + 1] && data[i] == data[i + 2]) break;
            ++i;
        }
        out.push_back(static_cast<uint8_t>(i - start - 1));
        out.insert(out.end(), data + start, data + i);
    }
}

PclWriter::PclWriter(int fd, Compression compression) : fd(fd), compression(compression) {}

void PclWriter::CheckFormat(const PageFormat& f) {
    if (f.width < 1 || f.height < 1 || f.width > kMaxDimension || f.height > kMaxDimension)
        throw std::runtime_error("unsupported page size " + std::to_string(f.width) + "x" +
                                 std::to_string(f.height));
    if (!(f.xResolution >= 1 && f.xResolution <= 65535) ||
        std::lround(f.xResolution) != std::lround(f.yResolution))
        throw std::runtime_error("PCL raster needs one resolution for both directions");
    bool rgb = f.colorSpace == "DeviceRGB" && f.channels == 3 && f.bitsPerSample == 8;
    bool grey = f.colorSpace == "DeviceGray" && f.channels == 1 &&
                (f.bitsPerSample == 8 || f.bitsPerSample == 1);
    if (!rgb && !grey)
        throw std::runtime_error("unsupported raster: " + f.colorSpace + ", " +
                                 std::to_string(f.channels) + " channels of " +
                                 std::to_string(f.bitsPerSample) + " bits");
}

size_t PclWriter::RowBytes(const PageFormat& f) {
    return (static_cast<size_t>(f.width) * f.channels * f.bitsPerSample + 7) / 8;
}

void PclWriter::BeginJob() {
    Put(std::string{kEsc, 'E'});
}

void PclWriter::BeginPage(const PageFormat& f) {
    CheckFormat(f);
    format = f;
    row = 0;
    inPage = true;
    if (int code = PaperCode(f)) PutCommand("&l", code, 'A');
    PutCommand("&l", f.width > f.height ? 1 : 0, 'O');
    PutCommand("*t", std::lround(f.xResolution), 'R');
    PutCommand("*r", 0, 'F');
    PutCommand("*p", 0, 'X');
    PutCommand("*p", 0, 'Y');
    if (IsGrey(f)) {
        PutCommand("*r", 1, 'U');
        planeRow.assign((static_cast<size_t>(f.width) + 7) / 8, 0);
    } else {
        PutCommand("*v", 6, 'W');
        Put(std::string("\x00\x03\x08\x08\x08\x08", 6));
    }
    PutCommand("*r", f.width, 'S');
    PutCommand("*r", f.height, 'T');
    PutCommand("*r", 1, 'A');
    PutCommand("*b", static_cast<long>(compression), 'M');
}

void PclWriter::ConvertGreyRow(const uint8_t* data) {
    std::fill(planeRow.begin(), planeRow.end(), 0);
    if (format.bitsPerSample == 1) {
        // Ghostscript's 1-bit grey is additive (1 = white); PCL's plane marks black with 1.
        for (size_t i = 0; i < planeRow.size(); ++i) planeRow[i] = static_cast<uint8_t>(~data[i]);
        if (int spare = static_cast<int>(planeRow.size() * 8) - format.width)
            planeRow.back() &= static_cast<uint8_t>(0xff << spare);
        return;
    }
    const uint8_t* thresholds = kBayer[row % 8];
    for (int x = 0; x < format.width; ++x) {
        if (data[x] < 4 * thresholds[x % 8] + 2)
            planeRow[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
}

void PclWriter::WriteRow(const uint8_t* data) {
    if (!inPage || row >= format.height) throw std::runtime_error("raster row outside a page");
    if (IsGrey(format)) {
        ConvertGreyRow(data);
        EmitRow(planeRow.data(), planeRow.size());
    } else {
        EmitRow(data, RowBytes(format));
    }
    ++row;
}

void PclWriter::EmitRow(const uint8_t* data, size_t size) {
    if (compression == Compression::PackBits) {
        packed.clear();
        PackBits(data, size, packed);
        PutCommand("*b", static_cast<long>(packed.size()), 'W');
        buffer.append(reinterpret_cast<const char*>(packed.data()), packed.size());
    } else {
        PutCommand("*b", static_cast<long>(size), 'W');
        buffer.append(reinterpret_cast<const char*>(data), size);
    }
    if (buffer.size() >= kFlushSize) Flush();
}

void PclWriter::EndPage() {
    if (!inPage) return;
    if (row != format.height) throw std::runtime_error("page ended before its last row");
    PutCommand("*r", 0, 'C');
    buffer.push_back('\f');
    inPage = false;
    ++pageCount;
    Flush();
}

void PclWriter::EndJob() {
    Put(std::string{kEsc, 'E'});
    Flush();
}

void PclWriter::Put(const std::string& text) { buffer += text; }

// One parameterised command, e.g. ("*t", 100, 'R') gives ESC * t 1 0 0 R.
void PclWriter::PutCommand(const char* prefix, long value, char terminator) {
    buffer.push_back(kEsc);
    buffer += prefix;
    buffer += std::to_string(value);
    buffer.push_back(terminator);
}

void PclWriter::Flush() {
    size_t done = 0;
    while (done < buffer.size()) {
        ssize_t n = ::write(fd, buffer.data() + done, buffer.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            throw std::runtime_error(std::string("cannot write the output: ") + std::strerror(error));
        }
        done += static_cast<size_t>(n);
    }
    buffer.clear();
}

}  // namespace Qvijs
