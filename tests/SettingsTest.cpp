// Installation settings against preference stores written by the tests, and the path helpers.
#include "TestSupport.h"

#include "settings/InstallSettings.h"
#include "settings/PathHelpers.h"
#include "settings/ProductProfile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace Quillet;

namespace {

const char* kRoot = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quivera\\Tallow Works]\n";

// Points the library at a store file the test writes, for the test's length.
class StoreFixture : public testing::Test {
protected:
    void SetUp() override
    {
        const char* previous = std::getenv("QUILLET_PREFERENCES");
        if (previous)
            saved = previous, hadPrevious = true;
        path = testing::TempDir() + "quillet-store-" + std::to_string(getpid()) + ".conf";
        setenv("QUILLET_PREFERENCES", path.c_str(), 1);
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        if (hadPrevious)
            setenv("QUILLET_PREFERENCES", saved.c_str(), 1);
        else
            unsetenv("QUILLET_PREFERENCES");
    }
    void Write(const std::string& text)
    {
        // A new file each time, so that a reload is noticed even within one second.
        std::remove(path.c_str());
        std::ofstream(path, std::ios::binary) << text;
    }

    std::string path;
    std::string saved;
    bool hadPrevious = false;
};

using InstallSettingsTest = StoreFixture;

}  // namespace

TEST_F(InstallSettingsTest, NoStoreGivesEmptyPathsAndTheDefaultQueue)
{
    std::remove(path.c_str());
    InstallSettings& settings = InstallSettings::Instance();
    EXPECT_EQ(settings.GetQueueName(), L"QV Page Glance");
    EXPECT_EQ(settings.GetInstallDir(), L"");
    EXPECT_EQ(settings.GetExePath(), L"");
    EXPECT_EQ(settings.GetPreviewPath(), L"");
}

TEST_F(InstallSettingsTest, EmptyAndGarbledStoresGiveTheDefaults)
{
    for (const std::string& text : {std::string(), std::string(kRoot),
                                    std::string("\x01\xff\xfe garbage\n[unclosed\n=novalue\n") + kRoot +
                                        "QueueName\n\xc3\x28=bad utf8\n",
                                    std::string(kRoot) + std::string(1 << 20, 'x')}) {
        Write(text);
        InstallSettings& settings = InstallSettings::Instance();
        EXPECT_EQ(settings.GetQueueName(), L"QV Page Glance");
        EXPECT_EQ(settings.GetInstallDir(), L".");
        EXPECT_EQ(settings.GetExePath(), L"./qvjobsvr");
        EXPECT_EQ(settings.GetPreviewPath(), L"QVPageGlance");
    }
}

TEST_F(InstallSettingsTest, ValuesAreReadUnderTheProductRootOnly)
{
    Write(std::string("# a comment\n[Some Other Root]\nQueueName=Wrong\nQuilletInstallDir=/wrong\n\n") +
          kRoot +
          "QuilletInstallDir = /opt/quillet/\n"
          "QuilletName=qvjobsvr\n"
          "QueueName=QV_Page_Glance\n"
          "PreviewInstallDir=/opt/preview\n"
          "PreviewName=Glance\n");
    InstallSettings& settings = InstallSettings::Instance();
    EXPECT_EQ(settings.GetQueueName(), L"QV_Page_Glance");
    EXPECT_EQ(settings.GetInstallDir(), L"/opt/quillet/");
    // The install directory already ends in a delimiter: none is doubled.
    EXPECT_EQ(settings.GetExePath(), L"/opt/quillet/qvjobsvr");
    EXPECT_EQ(settings.GetPreviewPath(), L"/opt/preview/Glance");
}

TEST_F(InstallSettingsTest, EmptyInstallDirGivesTheBareExecutableName)
{
    Write(std::string(kRoot) + "QuilletInstallDir=\nQuilletName=gsrv\n");
    EXPECT_EQ(InstallSettings::Instance().GetExePath(), L"gsrv");
}

TEST_F(InstallSettingsTest, PreviewPathPrototypeAndFallbacks)
{
    // An empty prototype name counts as none; the preview folder falls back to
    // the install directory.
    Write(std::string(kRoot) + "PrototypeName=\nQuilletInstallDir=/opt/q\n");
    EXPECT_EQ(InstallSettings::Instance().GetPreviewPath(), L"/opt/q/QVPageGlance");

    Write(std::string(kRoot) + "PrototypeName=Proto\n");
    EXPECT_EQ(InstallSettings::Instance().GetPreviewPath(), L"./Proto");

    Write(std::string(kRoot) + "PrototypeName=Proto\nPrototypeInstallDir=/p\nPreviewInstallDir=/x\n");
    EXPECT_EQ(InstallSettings::Instance().GetPreviewPath(), L"/p/Proto");
}

TEST(ProductProfileTest, KeyMapIsExactAndCaseSensitive)
{
    ProductProfile profile;
    EXPECT_EQ(profile.MapKey(L"InstallDir"), L"QuilletInstallDir");
    EXPECT_EQ(profile.MapKey(L"ExeName"), L"QuilletName");
    EXPECT_EQ(profile.MapKey(L"PreviewDir"), L"PreviewInstallDir");
    EXPECT_EQ(profile.MapKey(L"installdir"), L"installdir");
    EXPECT_EQ(profile.MapKey(L"PrototypeName"), L"PrototypeName");
}

TEST(PathHelpersTest, AppendPathDelimiter)
{
    std::wstring path = L"/out";
    AppendPathDelimiter(path);
    EXPECT_EQ(path, L"/out/");
    AppendPathDelimiter(path);
    EXPECT_EQ(path, L"/out/");
    path = L"C:\\out\\";
    AppendPathDelimiter(path);
    EXPECT_EQ(path, L"C:\\out\\");
    path.clear();
    AppendPathDelimiter(path);
    EXPECT_EQ(path, L"");
}

TEST(PathHelpersTest, FileStem)
{
    EXPECT_EQ(FileStem(L"C:\\docs\\report.docx"), L"report");
    EXPECT_EQ(FileStem(L"/home/u/report.docx"), L"report");
    EXPECT_EQ(FileStem(L"report.final"), L"report.final");
    EXPECT_EQ(FileStem(L"a.b.longext"), L"a.b.longext");
    EXPECT_EQ(FileStem(L"C:report.txt"), L"report");
    EXPECT_EQ(FileStem(L"archive.tar.gz"), L"archive.tar");
    EXPECT_EQ(FileStem(L"name."), L"name");
    EXPECT_EQ(FileStem(L".abc"), L"");
    EXPECT_EQ(FileStem(L"/folder/"), L"");
    EXPECT_EQ(FileStem(L"/tmp/qv1a2b.QV_PrintDirect.doc"), L"qv1a2b.QV_PrintDirect");
    EXPECT_EQ(FileStem(L""), L"");
}
