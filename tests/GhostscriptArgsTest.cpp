// Output formats, page names, FormatString and the Ghostscript arguments as
// the child receives them.
#include "engine/GhostscriptArgs.h"
#include "engine/OutputFormats.h"
#include "engine/RIPEngine.h"
#include "platform/TextConversion.h"
#include "settings/InstallSettings.h"
#include "support/ScopedEnv.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace Quillet {
namespace {

using Args = std::vector<std::wstring>;

/// Sets NUMBER_OF_PROCESSORS for one test and puts the old value back.
/// Tests run one at a time and no engine thread reads the environment.
struct ProcessorVariable : QuilletTest::ScopedEnv {
    explicit ProcessorVariable(const char* value) : ScopedEnv("NUMBER_OF_PROCESSORS", value) {}
};

/// A folder whose name must reach the child whole: spaces, quotes,
/// backslashes before a quote and before the end, a percent sign.
const wchar_t* const kHostileFolder = L"/out \"dir\" \\\"x\\ 100%/pages\\";

TEST(OutputFormatsTest, UnknownFormatsFallBackAndFormatStringGrowsItsBuffer)
{
    // A host's format out of range renders as the first format.
    for (int f : {RIP_TIFFLZW_FILE + 1, -1, 1000})
        EXPECT_EQ(FormatOf(static_cast<RIPFormat>(f)).format, RIP_BMP32B);
    std::wstring out = L"old";
    // Longer than any first guess of the buffer.
    const std::wstring longText(5000, L'z');
    FormatString(out, L"%ls!", longText.c_str());
    EXPECT_EQ(out, longText + L"!");
    EXPECT_EQ(EscapePercent(L"a%b%%"), L"a%%b%%%%");
}

TEST(GhostscriptArgsTest, EachSettingReachesTheChildAsWholeArguments)
{
    // Each row on a fresh service writing into the hostile folder: the child
    // receives -dSAFER first, the entries the settings call for, none of the
    // absent ones, and the output name whole, ending as the row says.
    const std::wstring fonts = InstallSettings::Instance().GetFontsFolder();
    const struct {
        const char* name;
        const char* processors;
        std::function<void(RIPEngine*)> set;
        Args present;
        Args absent;         // prefixes
        std::wstring ending;  // of the output name; empty: no "-o"
    } rows[] = {
        {"size and resolution", "1",
         [](RIPEngine* e) { e->SetPageSize(2480, 3508), e->SetResolution(300); },
         {L"-g2480x3508", L"-r300", L"-sDEVICE=pngalpha"}, {L"-dNumRenderingThreads"}, L"_%03d.png"},
        {"IJS", "8",
         [](RIPEngine* e) {
             e->SetOutputFormat(RIP_IJS), e->SetIJSModel(L"Maker Inc", L"Model \"7\"\\");
             e->SetIJSParams(L"Dither=on\\\"x");
         },
         {L"-sDEVICE=ijs", L"-sIjsServer=" + GetIjsServerPath(), L"-sDeviceManufacturer=Maker Inc",
          L"-sDeviceModel=Model \"7\"\\", L"-sIjsParams=Dither=on\\\"x", L"single_copy.ps"},
         {L"-dNumRenderingThreads"}, L"_001.pcl"},
        {"PostScript", "8", [](RIPEngine* e) { e->SetOutputFormat(RIP_PSWRITE); },
         {L"-sDEVICE=ps2write", L"-dNumRenderingThreads=8"}, {L"-dTextAlphaBits", L"-dGraphicsAlphaBits"}, L"_001.ps"},
        {"colour and fonts", "1", [](RIPEngine* e) { e->SetUseCIEColor(true), e->SetUseTTFont(true); },
         fonts.empty() ? Args{L"-dUseCIEColor"} : Args{L"-dUseCIEColor", L"-sFONTPATH=" + fonts}, {}, L"_%03d.png"},
        // The host's own switches take the place of the output and the prolog.
        {"split and merge", "1",
         [](RIPEngine* e) {
             e->SetIsSplitMerge(true), e->SetCustomParams(L"-sOutputFile=\"/x y/%d.png\" -dFirstPage=2");
         },
         {L"-sOutputFile=/x y/%d.png", L"-dFirstPage=2", L"-_"}, {L"-o", L"single_copy.ps"}, L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ProcessorVariable processors(row.processors);
        RIPEngine* fresh = static_cast<RIPEngine*>(CreateRIPService(L"/docs/job.ps"));
        fresh->SetOutputFolder(kHostileFolder);
        row.set(fresh);
        Args argv;
        fresh->BuildGhostscriptArgs(argv);
        ASSERT_FALSE(argv.empty());
        EXPECT_EQ(argv[0], L"-dSAFER");
        for (const std::wstring& entry : row.present)
            EXPECT_NE(std::find(argv.begin(), argv.end(), entry), argv.end()) << ToUtf8(entry);
        for (const std::wstring& arg : argv) {
            for (const std::wstring& prefix : row.absent)
                EXPECT_NE(arg.rfind(prefix, 0), 0u) << ToUtf8(arg);
        }
        const auto o = std::find(argv.begin(), argv.end(), L"-o");
        if (!row.ending.empty() && o != argv.end() && o + 1 != argv.end()) {
            // Named relative to the output folder, which is on no command line.
            const std::wstring& name = o[1];
            EXPECT_EQ(name.find(L'/'), std::wstring::npos) << ToUtf8(name);
            EXPECT_TRUE(name.size() > row.ending.size() &&
                        name.compare(name.size() - row.ending.size(), row.ending.size(), row.ending) == 0)
                << ToUtf8(name);
        } else {
            EXPECT_TRUE(row.ending.empty());
        }
        fresh->Release();
    }
}

}  // namespace
}  // namespace Quillet
