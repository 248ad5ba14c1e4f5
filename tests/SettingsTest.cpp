// Installation settings against preference stores written by the tests, and the path helpers.
#include "TestSupport.h"
#include "support/ScopedEnv.h"
#include "support/SystemStore.h"

#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZUtilities.h"
#include "settings/InstallSettings.h"
#include "settings/PathHelpers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <unistd.h>

using namespace Quillet;

namespace {

const char* kRoot = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quivera\\Tallow Works]\n";

// Points the library at a store file the test writes, for the test's length.
class InstallSettingsTest : public testing::Test {
protected:
    void TearDown() override { std::remove(path.c_str()); }
    void Write(const std::string& text)
    {
        // A new file each time, so that a reload is noticed even within one second.
        std::remove(path.c_str());
        std::ofstream(path, std::ios::binary) << text;
    }

    std::string path = testing::TempDir() + "quillet-store-" + std::to_string(getpid()) + ".conf";
    QuilletTest::ScopedEnv env{"QUILLET_PREFERENCES", path.c_str()};
};

}  // namespace

TEST_F(InstallSettingsTest, MissingAndEmptyStoresGiveTheDefaults)
{
    std::remove(path.c_str());
    InstallSettings& settings = InstallSettings::Instance();
    EXPECT_EQ(settings.GetQueueName(), L"QV Page Glance");
    EXPECT_EQ(settings.GetExePath(), L"");
    EXPECT_EQ(settings.GetPreviewPath(), L"");

    // (What a garbled store keeps is the store's own tests' business.)
    for (const std::string& text : {std::string(), std::string(kRoot) + "QueueName\n"}) {
        Write(text);
        EXPECT_EQ(settings.GetQueueName(), L"QV Page Glance");
        EXPECT_EQ(settings.GetInstallDir(), L".");
        EXPECT_EQ(settings.GetExePath(), L"./qvjobsvr");
        EXPECT_EQ(settings.GetPreviewPath(), L"QVPageGlance");
    }
}

TEST_F(InstallSettingsTest, ValuesUnderTheProductRootMakeThePaths)
{
    struct Case {
        const char* values;
        const wchar_t* exePath;
        const wchar_t* previewPath;
    };
    const Case cases[] = {
        // The install folder already ends in a delimiter: none is doubled.
        {"QuilletInstallDir = /opt/quillet/\nQuilletName=qvjobsvr\nPreviewInstallDir=/opt/preview\n"
         "PreviewName=Glance\nQueueName=QV_Page_Glance\n",
         L"/opt/quillet/qvjobsvr", L"/opt/preview/Glance"},
        // An empty prototype name counts as none; the preview folder falls
        // back to the install folder; an empty install folder, to the bare name.
        {"QuilletInstallDir=\nQuilletName=gsrv\n", L"gsrv", nullptr},
        {"PrototypeName=\nQuilletInstallDir=/opt/q\n", L"/opt/q/qvjobsvr", L"/opt/q/QVPageGlance"},
        {"PrototypeName=Proto\n", L"./qvjobsvr", L"./Proto"},
        {"PrototypeName=Proto\nPrototypeInstallDir=/p\nPreviewInstallDir=/x\n", L"./qvjobsvr", L"/p/Proto"},
    };
    for (const Case& c : cases) {
        Write(std::string("[Some Other Root]\nQueueName=Wrong\nQuilletInstallDir=/wrong\n") + kRoot + c.values);
        EXPECT_EQ(InstallSettings::Instance().GetExePath(), c.exePath) << c.values;
        if (c.previewPath) {
            EXPECT_EQ(InstallSettings::Instance().GetPreviewPath(), c.previewPath) << c.values;
        }
        EXPECT_EQ(InstallSettings::Instance().GetQueueName(),
                  &c == cases ? L"QV_Page_Glance" : L"QV Page Glance");
    }
}

TEST(SystemStoreTest, WithoutAStoreFileTheSystemsOwnStoreIsRead)
{
    const std::wstring root =
        L"HKEY_CURRENT_USER\\Software\\Quivera\\QuilletTest" + std::to_wstring(ZHelper::GetThisProcessID());
    const std::wstring folder = L"C:\\Quillet \u00e9\U0001F600";
    if (!QuilletTest::WriteSystemPreference(root, L"QuilletInstallDir", folder))
        GTEST_SKIP() << "the system keeps no preference store of its own";
    QuilletTest::ScopedEnv env{"QUILLET_PREFERENCES", nullptr};
    IPreferences* store = ZUtilities::GetPreferences();
    ASSERT_NE(store, nullptr);
    const struct {
        std::wstring root, name;
        bool found;
    } rows[] = {
        {root, L"QuilletInstallDir", true},
        {L"hkcu" + root.substr(root.find(L'\\')), L"quilletinstalldir", true},  // names ignore case
        {root, L"QuilletName", false},
        {root, L"", false},                                                    // the key's default value
        {L"HKEY_NO_SUCH_HIVE" + root.substr(root.find(L'\\')), L"QuilletInstallDir", false},
    };
    for (const auto& row : rows) {
        store->SetRoot(row.root);
        std::wstring value = L"unchanged";
        EXPECT_EQ(store->GetString(row.name, value), row.found) << ToUtf8(row.root + L" " + row.name);
        EXPECT_EQ(value, row.found ? folder : L"unchanged");
    }
    // Read afresh at every lookup.
    ASSERT_TRUE(QuilletTest::WriteSystemPreference(root, L"QuilletInstallDir", L"D:\\Other"));
    store->SetRoot(root);
    std::wstring value;
    EXPECT_TRUE(store->GetString(L"QuilletInstallDir", value));
    EXPECT_EQ(value, L"D:\\Other");
    QuilletTest::RemoveSystemPreferences(root);
    EXPECT_FALSE(store->GetString(L"QuilletInstallDir", value));
}

TEST(PathHelpersTest, FileStem)
{
    EXPECT_EQ(FileStem(L"C:\\docs\\report.docx"), L"report");
    EXPECT_EQ(FileStem(L"report.final"), L"report.final");  // no extension of more than 4 letters
    EXPECT_EQ(FileStem(L"C:report.txt"), L"report");
    EXPECT_EQ(FileStem(L"archive.tar.gz"), L"archive.tar");
    EXPECT_EQ(FileStem(L".abc"), L"");
    EXPECT_EQ(FileStem(L"/tmp/qv1a2b.QV_PrintDirect.doc"), L"qv1a2b.QV_PrintDirect");
}

// The platform's path rules: one separator between parts whatever the parts
// end in, and the root kept when cutting a file in it.
TEST(PathHelpersTest, JoinAndCut)
{
    EXPECT_EQ(Platform::JoinPath({L"/a/", L"b", L"", L"c.pdf"}), L"/a/b/c.pdf");
    EXPECT_EQ(Platform::JoinPath({L"", L"b"}), L"b");
    const struct { const wchar_t* path; const wchar_t* folder; const wchar_t* name; } cases[] = {
        {L"/a/b/c.pdf", L"/a/b", L"c.pdf"}, {L"/c.pdf", L"/", L"c.pdf"}, {L"c.pdf", L"c.pdf", L"c.pdf"},
        {L"/a/b/", L"/a/b", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Platform::FolderOf(c.path), c.folder) << ToUtf8(c.path);
        EXPECT_EQ(Platform::FileNameOf(c.path), c.name) << ToUtf8(c.path);
    }
    EXPECT_EQ(Platform::ProgramPath(L"/opt/q/", L"qvoffice"), L"/opt/q/qvoffice");
}
