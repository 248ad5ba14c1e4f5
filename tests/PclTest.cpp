// Tests for qvijs, the IJS server: Ghostscript's "ijs" device renders PostScript through it to PCL
// raster, which PclDecoder.h reads back.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "PclDecoder.h"
#include "support/Files.h"

#include <quillet/quillet.h>

namespace fs = std::filesystem;
using QuilletTest::PclDecoder;
using QuilletTest::PclJob;
using QuilletTest::PclPage;

namespace {

constexpr int kDpi = 100;

int Pixels(double points) { return static_cast<int>(std::lround(points * kDpi / 72.0)); }

// A rectangle in PostScript points (origin bottom left) as a pixel box (origin top left).
struct Box {
    int x0, y0, x1, y1;  // half-open
    static Box FromPoints(double x, double y, double w, double h, int pageHeight) {
        return {Pixels(x), pageHeight - Pixels(y + h), Pixels(x + w), pageHeight - Pixels(y)};
    }
    // Anti-aliased edges are left out of both the inside and the outside.
    bool Inside(int x, int y) const { return x >= x0 + 2 && x < x1 - 2 && y >= y0 + 2 && y < y1 - 2; }
    bool Near(int x, int y) const { return x >= x0 - 2 && x < x1 + 2 && y >= y0 - 2 && y < y1 + 2; }
};

// Page 1: Letter with one black rectangle. Page 2: A4 with a blue rectangle, a 50 % grey rectangle and
// a horizontal grey ramp (rows of varied bytes for the run-length coder).
const int kLetterHeight = Pixels(792), kA4Height = Pixels(842);
const Box kBlack = Box::FromPoints(72, 72, 72, 144, kLetterHeight);
const Box kBlue = Box::FromPoints(288, 432, 144, 72, kA4Height);
const Box kGrey = Box::FromPoints(72, 576, 144, 72, kA4Height);
const Box kRamp = Box::FromPoints(72, 300, 288, 36, kA4Height);

std::string JobText() {
    std::ostringstream ps;
    ps << "%!PS\n"
          "<< /PageSize [612 792] >> setpagedevice\n"
          "0 setgray 72 72 72 144 rectfill showpage\n"
          "<< /PageSize [595 842] >> setpagedevice\n"
          "0 0 1 setrgbcolor 288 432 144 72 rectfill\n"
          "0.5 setgray 72 576 144 72 rectfill\n"
          "gsave 72 300 translate 288 36 scale 256 1 8 [256 0 0 1 0 0] <";
    for (int i = 0; i < 256; ++i) ps << "0123456789abcdef"[i / 16] << "0123456789abcdef"[i % 16];
    ps << "> image grestore showpage\n";
    return ps.str();
}

using QuilletTest::ReadWholeFile;

class PclTest : public testing::Test {
protected:
    void SetUp() override {
        std::ofstream(scratch / "job.ps") << JobText();
        qvijs = QUILLET_BINARY_DIR "/libexec/quillet/gs/bin/qvijs";
        ASSERT_TRUE(fs::exists(qvijs)) << "build the qvijs target first";
        fs::path linked = QUILLET_BINARY_DIR "/libexec/quillet/gs/bin/gs";
        ghostscript = fs::exists(linked) ? linked.string() : "gs";
        std::random_device random;
        mark = std::to_string(random()) + std::to_string(random());
    }

    // Runs the job through Ghostscript's ijs device the way the engine does; returns the exit code
    // (124 when Ghostscript had to be stopped after two minutes).
    int Render(const std::string& extra, const std::string& output) {
        std::string command = "QVIJS_TEST_MARK=" + mark + " timeout 120 " + ghostscript +
                              " -q -dSAFER -dSTRICT -dTextAlphaBits=1 -dGraphicsAlphaBits=2 -r" +
                              std::to_string(kDpi) + " -sDEVICE=ijs '-sIjsServer=" + qvijs +
                              "' " + extra + " -o '" + output + "' -_ <'" +
                              (scratch / "job.ps").string() + "' >/dev/null 2>'" +
                              (scratch / "gs.err").string() + "'";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }

    PclJob RenderAndDecode(const std::string& extra) {
        fs::path out = scratch / "job_001.pcl";
        fs::remove(out);
        int code = Render("-sDeviceManufacturer=QV -sDeviceModel=GenericVIP " + extra, out.string());
        EXPECT_EQ(code, 0) << ReadWholeFile(scratch / "gs.err");
        PclJob job;
        EXPECT_NO_THROW(job = PclDecoder::Decode(ReadWholeFile(out)));
        return job;
    }

    // qvijs processes started by this test that are still alive. Ghostscript does not wait for a
    // server it gave up on, so one that is just leaving gets ten seconds to end.
    int StrayServers() const {
        int count = 0;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::string environment = ReadWholeFile(entry.path() / "environ");
            if (environment.find("QVIJS_TEST_MARK=" + mark) == std::string::npos) continue;
            int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, std::atoi(entry.path().filename().c_str()), 0));
            if (pidfd < 0) continue;  // gone meanwhile
            pollfd ended{pidfd, POLLIN, 0};
            if (::poll(&ended, 1, 10000) != 1) ++count;
            ::close(pidfd);
        }
        return count;
    }

    const QuilletTest::ScratchFolder folder{"quillet-pcl"};
    const fs::path scratch = folder.path;
    std::string qvijs, ghostscript, mark;
};

// Pixels inside the boxes are checked by the caller; everything away from them must be paper.
int MarkedOutside(const PclPage& page, const std::vector<Box>& boxes) {
    int marked = 0;
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x) {
            bool near = false;
            for (const Box& box : boxes) near = near || box.Near(x, y);
            if (!near && !page.IsWhite(x, y)) ++marked;
        }
    return marked;
}

double BlackShare(const PclPage& page, const Box& box) {
    int black = 0, all = 0;
    for (int y = box.y0 + 2; y < box.y1 - 2; ++y)
        for (int x = box.x0 + 2; x < box.x1 - 2; ++x, ++all) black += page.IsBlack(x, y);
    return static_cast<double>(black) / all;
}

void ExpectGeometry(const PclJob& job, bool colour) {
    EXPECT_EQ(job.resets, 2);  // one job: a reset at each end
    ASSERT_EQ(job.pages.size(), 2u);
    const int widths[] = {Pixels(612), Pixels(595)}, heights[] = {kLetterHeight, kA4Height};
    const int paperCodes[] = {2, 26};
    for (int i = 0; i < 2; ++i) {
        const PclPage& page = job.pages[i];
        EXPECT_EQ(page.resolution, kDpi);
        EXPECT_EQ(page.width, widths[i]);
        EXPECT_EQ(page.height, heights[i]);
        EXPECT_EQ(page.rows, page.height);
        EXPECT_EQ(page.paperCode, paperCodes[i]);
        EXPECT_EQ(page.orientation, 0);
        EXPECT_EQ(page.colour, colour);
    }
}

void ExpectBlackMark(const PclPage& page) {
    int wrong = 0;
    for (int y = kBlack.y0; y < kBlack.y1; ++y)
        for (int x = kBlack.x0; x < kBlack.x1; ++x) wrong += kBlack.Inside(x, y) && !page.IsBlack(x, y);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(MarkedOutside(page, {kBlack}), 0);
}

}  // namespace

TEST_F(PclTest, ColourJobKeepsPagesSizesAndColours) {
    PclJob job = RenderAndDecode("");
    ExpectGeometry(job, true);
    if (job.pages.size() != 2) return;
    ExpectBlackMark(job.pages[0]);
    const PclPage& page = job.pages[1];
    EXPECT_EQ(page.compressions, std::set<int>{2});
    int wrongBlue = 0, wrongGrey = 0;
    for (int y = 0; y < page.height; ++y)
        for (int x = 0; x < page.width; ++x) {
            auto p = page.Pixel(x, y);
            if (kBlue.Inside(x, y)) wrongBlue += p != std::array<uint8_t, 3>{0, 0, 255};
            if (kGrey.Inside(x, y)) wrongGrey += p[0] != p[1] || p[1] != p[2] || p[0] < 126 || p[0] > 129;
        }
    EXPECT_EQ(wrongBlue, 0);
    EXPECT_EQ(wrongGrey, 0);
    // The ramp runs from black on the left to white on the right.
    int mid = (kRamp.y0 + kRamp.y1) / 2;
    EXPECT_LT(page.Pixel(kRamp.x0 + 3, mid)[0], 8);
    EXPECT_GT(page.Pixel(kRamp.x1 - 3, mid)[0], 247);
    EXPECT_EQ(MarkedOutside(page, {kBlue, kGrey, kRamp}), 0);
}

TEST_F(PclTest, GreyJobIsHalftonedOnTheBlackPlane) {
    // 8-bit grey is dithered by the server; 1-bit grey comes already halftoned from Ghostscript.
    for (std::string bits : {"", "-dBitsPerSample=1"}) {
        SCOPED_TRACE(bits);
        // -dIjsUseOutputFD hands the server a descriptor instead of the file name.
        PclJob job = RenderAndDecode("-dIjsUseOutputFD -sProcessColorModel=DeviceGray " + bits);
        ExpectGeometry(job, false);
        if (job.pages.size() != 2) continue;
        ExpectBlackMark(job.pages[0]);
        const PclPage& page = job.pages[1];
        double grey = BlackShare(page, kGrey);
        EXPECT_GT(grey, 0.35);
        EXPECT_LT(grey, 0.65);
        EXPECT_GT(BlackShare(page, kBlue), grey);  // blue is darker than 50 % grey
        EXPECT_EQ(MarkedOutside(page, {kBlue, kGrey, kRamp}), 0);
    }
}

TEST_F(PclTest, RefusedJobsFailWithoutOutputOrLeftoverServer) {
    struct Case {
        const char* switches;
        const char* output;
    };
    const Case cases[] = {
        {"-sDeviceManufacturer=QV -sDeviceModel=Nope", "job_001.pcl"},
        {"-sDeviceManufacturer=Other -sDeviceModel=GenericVIP", "job_001.pcl"},
        {"-sDeviceManufacturer=QV -sDeviceModel=GenericVIP -sIjsParams=Compression=7", "job_001.pcl"},
        // The server's standard output is the IJS channel: standard output needs -dIjsUseOutputFD.
        {"-sDeviceManufacturer=QV -sDeviceModel=GenericVIP", "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.switches + std::string(" -o ") + c.output);
        fs::path out = c.output == std::string("-") ? fs::path(c.output) : scratch / c.output;
        int code = Render(c.switches, out.string());
        EXPECT_NE(code, 0);
        EXPECT_NE(code, 124) << "Ghostscript hung";
        EXPECT_FALSE(fs::exists(scratch / "job_001.pcl"));
        EXPECT_EQ(StrayServers(), 0);
    }
}

// The same server reached through the library: output format 10 ends in one PCL file.
namespace {

class PclEngineTest : public PclTest {
protected:
    void TearDown() override {
        for (Quillet::IRIPBase* engine : engines) engine->Release();
    }

    Quillet::IRIPBase* Engine() {
        Quillet::IRIPBase* engine = Quillet::CreateRIPService((scratch / "job.ps").wstring());
        engines.push_back(engine);
        if (engine) {
            engine->SetOutputFolder((scratch / "out").wstring());
            engine->SetOutputFormat(Quillet::RIP_IJS);
            engine->SetResolution(kDpi);
            // Ghostscript starts the server under its own memory bound.
            if (QuilletTest::kSanitized)
                engine->SetMaxMemoryBytes(0);
        }
        return engine;
    }

    std::vector<Quillet::IRIPBase*> engines;
};

}  // namespace

TEST_F(PclEngineTest, IjsFormatWritesOnePclFileForTheJobAndAnUnknownModelFailsTheRun) {
    Quillet::IRIPBase* engine = Engine();
    ASSERT_NE(engine, nullptr);
    engine->SetIJSParams(L"Compression=0,Quality=high");  // reaches the server through the quoting
    ASSERT_TRUE(engine->StartRIP());
    std::wstring file;
    ASSERT_TRUE(engine->GetOutputFile(file));
    EXPECT_EQ(file.substr(file.rfind(L'_')), L"_001.pcl");
    // The engine counts output files, and a single-file format has one.
    EXPECT_EQ(engine->GetPageCount(), 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "out"), fs::directory_iterator()), 1);

    PclJob job;
    ASSERT_NO_THROW(job = PclDecoder::Decode(ReadWholeFile(fs::path(file))));
    ExpectGeometry(job, true);
    if (job.pages.size() == 2) {
        EXPECT_EQ(job.pages[0].compressions, std::set<int>{0});
        ExpectBlackMark(job.pages[0]);
    }

    engine = Engine();
    engine->SetIJSModel(L"QV", L"Nope");
    ASSERT_TRUE(engine->StartRIP());
    file.clear();
    EXPECT_FALSE(engine->GetOutputFile(file));
    EXPECT_EQ(engine->GetPageCount(), -1);
    EXPECT_FALSE(fs::exists(fs::path(file)));
}
