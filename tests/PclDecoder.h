// PclDecoder: reads back the PCL raster jobs that qvijs writes, for the tests.
//
// It understands the subset qvijs emits (reset, paper size, orientation, raster resolution,
// configure image data for 24-bit RGB, the single black plane, source raster size, start/end
// raster, compression modes 0 and 2, raster rows, form feed) and throws std::runtime_error on
// anything else, so that a stray byte in the output fails the test.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace QuilletTest {

struct PclPage {
    int resolution = 0;
    int width = 0;
    int height = 0;
    int paperCode = 0;
    int orientation = 0;
    bool colour = false;       // configured for 24-bit RGB; else the single black plane
    int rows = 0;              // rows received
    std::set<int> compressions;
    std::vector<uint8_t> rgb;  // width * height * 3, white where no row set a pixel

    std::array<uint8_t, 3> Pixel(int x, int y) const {
        size_t i = (static_cast<size_t>(y) * width + x) * 3;
        return {rgb.at(i), rgb.at(i + 1), rgb.at(i + 2)};
    }
    bool IsBlack(int x, int y) const { return Pixel(x, y) == std::array<uint8_t, 3>{0, 0, 0}; }
    bool IsWhite(int x, int y) const { return Pixel(x, y) == std::array<uint8_t, 3>{255, 255, 255}; }
};

struct PclJob {
    int resets = 0;
    std::vector<PclPage> pages;
};

class PclDecoder {
public:
    static PclJob Decode(const std::string& data) {
        PclDecoder decoder(data);
        decoder.Run();
        return decoder.job;
    }

private:
    explicit PclDecoder(const std::string& data) : data(data) {}

    [[noreturn]] void Fail(const std::string& what) const {
        throw std::runtime_error(what + " at offset " + std::to_string(pos));
    }

    uint8_t Next() {
        if (pos >= data.size()) Fail("truncated");
        return static_cast<uint8_t>(data[pos++]);
    }

    void Run() {
        while (pos < data.size()) {
            uint8_t c = Next();
            if (c == '\f') {
                if (inRaster) Fail("form feed inside raster graphics");
                if (!pageOpen) Fail("form feed without a page");
                job.pages.push_back(page);
                page = PclPage{};
                pageOpen = false;
                colour = false;
            } else if (c == 0x1b) {
                Escape();
            } else {
                Fail("stray byte " + std::to_string(c));
            }
        }
        if (pageOpen || inRaster) Fail("job ends inside a page");
    }

    void Escape() {
        uint8_t c = Next();
        if (c == 'E') {
            if (pageOpen || inRaster) Fail("reset inside a page");
            ++job.resets;
            colour = false;
            return;
        }
        if (c < 0x21 || c > 0x2f) Fail("unknown two-character escape");
        uint8_t group = Next();
        for (;;) {  // a parameterised command, possibly combined: value, then lower-case to continue
            std::string digits;
            uint8_t t = Next();
            if (t == '-' || t == '+') { digits.push_back(static_cast<char>(t)); t = Next(); }
            while (t >= '0' && t <= '9') { digits.push_back(static_cast<char>(t)); t = Next(); }
            if (digits.empty() || digits == "-" || digits == "+") Fail("command without a value");
            long value = std::stol(digits);
            bool last = t >= 'A' && t <= 'Z';
            Command(static_cast<char>(c), static_cast<char>(group), static_cast<char>(last ? t : t - 32), value);
            if (last) return;
        }
    }

    void Command(char c, char group, char op, long value) {
        std::string key{c, group, op};
        pageOpen = true;
        if (key == "&lA") { page.paperCode = static_cast<int>(value); }
        else if (key == "&lO") { page.orientation = static_cast<int>(value); }
        else if (key == "*tR") { page.resolution = static_cast<int>(value); }
        else if (key == "*rF" || key == "*pX" || key == "*pY") {}
        else if (key == "*rU") { if (value != 1) Fail("only the single black plane is known"); colour = false; }
        else if (key == "*vW") {
            if (value != 6) Fail("configure image data must be 6 bytes");
            std::string header;
            for (int i = 0; i < 6; ++i) header.push_back(static_cast<char>(Next()));
            if (header != std::string("\x00\x03\x08\x08\x08\x08", 6)) Fail("not 24-bit direct RGB");
            colour = true;
        }
        else if (key == "*rS") { page.width = static_cast<int>(value); }
        else if (key == "*rT") { page.height = static_cast<int>(value); }
        else if (key == "*rA") {
            if (page.width < 1 || page.height < 1) Fail("raster without a size");
            page.colour = colour;
            page.rgb.assign(static_cast<size_t>(page.width) * page.height * 3, 255);
            inRaster = true;
        }
        else if (key == "*bM") {
            if (value != 0 && value != 2) Fail("unknown compression");
            compression = static_cast<int>(value);
        }
        else if (key == "*bW") { Row(static_cast<size_t>(value)); }
        else if (key == "*rC" || key == "*rB") { inRaster = false; }
        else { Fail("unknown command " + key); }
    }

    void Row(size_t size) {
        if (!inRaster) Fail("raster row outside raster graphics");
        if (page.rows >= page.height) Fail("more rows than the raster height");
        if (pos + size > data.size()) Fail("row data truncated");
        std::vector<uint8_t> raw(data.begin() + pos, data.begin() + pos + size);
        pos += size;
        page.compressions.insert(compression);
        std::vector<uint8_t> row = compression == 2 ? UnpackBits(raw) : raw;
        size_t expected = page.colour ? static_cast<size_t>(page.width) * 3 : (page.width + 7) / 8;
        if (row.size() != expected) Fail("row of " + std::to_string(row.size()) + " bytes, not " +
                                         std::to_string(expected));
        uint8_t* out = &page.rgb[static_cast<size_t>(page.rows) * page.width * 3];
        if (page.colour) {
            std::copy(row.begin(), row.end(), out);
        } else {
            for (int x = 0; x < page.width; ++x) {
                bool black = row[x / 8] & (0x80 >> (x % 8));
                out[x * 3] = out[x * 3 + 1] = out[x * 3 + 2] = black ? 0 : 255;
            }
        }
        ++page.rows;
    }

    std::vector<uint8_t> UnpackBits(const std::vector<uint8_t>& in) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < in.size();) {
            uint8_t h = in[i++];
            if (h < 128) {
                if (i + h + 1 > in.size()) Fail("PackBits literal overruns the row");
                out.insert(out.end(), in.begin() + i, in.begin() + i + h + 1);
                i += h + 1;
            } else if (h > 128) {
                if (i >= in.size()) Fail("PackBits run overruns the row");
                out.insert(out.end(), 257 - h, in[i++]);
            }
        }
        return out;
    }

    const std::string& data;
    size_t pos = 0;
    PclJob job;
    PclPage page;
    bool pageOpen = false;
    bool inRaster = false;
    bool colour = false;
    int compression = 0;
};

}  // namespace QuilletTest
