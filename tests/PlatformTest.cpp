// The base platform layer on POSIX: unique prefixes across processes, what
// only POSIX files have (close-on-exec, modes), the preference store.
#include "TestSupport.h"
#include "support/Files.h"
#include "support/ScopedEnv.h"

#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace Quillet;
using QuilletTest::ScopedEnv;
namespace fs = std::filesystem;

namespace {

using QuilletTest::OpenDescriptorCount;
using QuilletTest::ReadWholeFile;
using QuilletTest::WriteWholeFile;

// A scratch folder whose name holds a space and non-ASCII letters.
class ScratchFixture : public testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir); }

    static ZString Wide(const std::string& path) { return ZString(FromUtf8(path)); }

    QuilletTest::ScratchFolder root{"quillet-plat"};
    const std::string dir = root.path + "/dossier d’été ü";
};

}  // namespace

// --- ZUtilities ---------------------------------------------------------

// Prints argv[1] prefixes for folder argv[0], one a line, from four threads.
QUILLET_TEST_HELPER(plat_prefixes)
{
    const std::wstring dir = FromUtf8(argv[0]);
    const int count = std::atoi(argv[1]);
    std::vector<std::wstring> prefixes[4];
    std::vector<std::thread> threads;
    for (auto& list : prefixes)
        threads.emplace_back([&list, &dir, count] {
            for (int i = 0; i < count / 4; ++i)
                list.push_back(ZUtilities::GetUniqueFilePrefix(dir));
        });
    for (auto& thread : threads)
        thread.join();
    for (auto& list : prefixes)
        for (auto& prefix : list)
            std::printf("%s\n", ToUtf8(prefix).c_str());
    return 0;
}

TEST_F(ScratchFixture, UniquePrefixesDifferAcrossProcessesAndThreads)
{
    // Two processes started together, each asking from four threads.
    // Through the shell, so the binary's real path rather than /proc/self/exe.
    const std::string command =
        "'" + fs::read_symlink("/proc/self/exe").string() + "' --quillet-helper plat_prefixes '" + dir + "' 400";
    FILE* first = popen(command.c_str(), "r");
    FILE* second = popen(command.c_str(), "r");
    ASSERT_TRUE(first && second);
    std::vector<std::string> all;
    for (FILE* pipe : {first, second}) {
        char line[256];
        while (std::fgets(line, sizeof line, pipe))
            all.emplace_back(line, std::strlen(line) - 1);
        EXPECT_EQ(pclose(pipe), 0);
    }
    // And this process too.
    for (int i = 0; i < 100; ++i)
        all.push_back(ToUtf8(ZUtilities::GetUniqueFilePrefix(Wide(dir).Str())));
    ASSERT_EQ(all.size(), 900u);

    std::sort(all.begin(), all.end());
    for (std::size_t i = 0; i < all.size(); ++i) {
        const std::string& prefix = all[i];
        ASSERT_EQ(prefix.compare(0, 2, "qv"), 0) << prefix;
        EXPECT_TRUE(std::all_of(prefix.begin(), prefix.end(),
                                [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
            << prefix;
        // Sorted, a duplicate or a prefix that begins another one would sit
        // right before it: either would let two jobs' files mix.
        if (i > 0) {
            EXPECT_NE(prefix.compare(0, all[i - 1].size(), all[i - 1]), 0)
                << all[i - 1] << " / " << prefix;
        }
    }
}

// --- ZBaseStorage --------------------------------------------------------

TEST_F(ScratchFixture, StreamsAndCopiesAreCloseOnExecKeepTheModeAndLeakNoDescriptor)
{
    // The bytes, copies and folders themselves are FolderTest's, on every
    // system; here what only POSIX has: descriptors and permission bits.
    const std::size_t descriptors = OpenDescriptorCount();
    const std::string path = dir + "/page 1 \xE2\x82\xAC.txt";
    {
        ZFileStream stream;
        ASSERT_EQ(stream.Open(ZFileStream::kCreate, Wide(path)), ZBASE_OK);
        // The descriptor is close-on-exec: children never inherit it.
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (fs::read_symlink(entry.path(), error) == fs::path(path)) {
                EXPECT_TRUE(fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
            }
        }
        // Reopening closes the first descriptor.
        ASSERT_EQ(stream.Open(ZFileStream::kAppend, Wide(path)), ZBASE_OK);
    }

    // A copy takes the source's mode, whether it makes dest or replaces it.
    const std::string source = dir + "/Brief an J\u00fcrgen.doc";
    const std::string dest = dir + "/qv1n2abc.QV_PrintDirect.doc";
    WriteWholeFile(source, "contents");
    chmod(source.c_str(), 0750);
    ZFileStorage file(Wide(source));
    EXPECT_EQ(file.Copy(Wide(dest), true), ZBASE_OK);
    EXPECT_EQ(fs::status(fs::path(dest)).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    chmod(dest.c_str(), 0600);
    EXPECT_EQ(file.Copy(Wide(dest), false), ZBASE_OK);
    EXPECT_EQ(fs::status(fs::path(dest)).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

// --- Preference store ----------------------------------------------------

namespace {

const std::wstring kRoot = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quivera\\Tallow Works";

class PreferencesTest : public ScratchFixture {
protected:
    // The store for the current file, with the product's root selected.
    IPreferences* Store()
    {
        IPreferences* store = ZUtilities::GetPreferences();
        if (store)
            store->SetRoot(kRoot);
        return store;
    }
    std::wstring Get(IPreferences* store, const wchar_t* name)
    {
        std::wstring value = L"<unset>";
        store->GetString(name, value);
        return value;
    }

    const std::string path = dir + "/preferences.conf";
    const ScopedEnv env{"QUILLET_PREFERENCES", path.c_str()};
};

}  // namespace

TEST_F(PreferencesTest, MissingEmptyAndOddStores)
{
    EXPECT_EQ(ZUtilities::GetPreferences(), nullptr);
    fs::create_directory(fs::path(path));  // a folder is no store
    EXPECT_EQ(ZUtilities::GetPreferences(), nullptr);
    fs::remove(fs::path(path));
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // nor is a FIFO, and it must not hang
    EXPECT_EQ(ZUtilities::GetPreferences(), nullptr);
    fs::remove(fs::path(path));

    WriteWholeFile(path, "");
    IPreferences* store = Store();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Get(store, L"QueueName"), L"<unset>");
    if (geteuid() != 0) {  // a store that cannot be read has no values
        WriteWholeFile(path, "Good=yes\n");
        chmod(path.c_str(), 0);
        EXPECT_EQ(Get(Store(), L"Good"), L"<unset>");
    }
}

TEST_F(PreferencesTest, SectionsCommentsAndWhitespace)
{
    WriteWholeFile(path,
              "\xEF\xBB\xBF# leading comment\n"
              "Global = everywhere\n"
              "Shared = global value\n"
              "[Some Other Root]\n"
              "QueueName=wrong queue\n"
              "   [ hkey_local_machine\\software\\quivera\\tallow works ]  \r\n"
              "  QueueName  =  My Queue  \r\n"
              "\t# QueueName=commented out\n"
              "QuilletInstallDir=/opt/Quillet \xC3\xA9t\xC3\xA9/gs\n"
              "Shared=section value\n"
              "Equation = a=b # not a comment\n"
              "Twice=first\n"
              "Twice=second\n"
              "[Another]\n"
              "PreviewName=wrong\n");
    IPreferences* store = Store();
    ASSERT_NE(store, nullptr);
    const std::pair<const wchar_t*, const wchar_t*> expected[] = {
        {L"queuename", L"My Queue"},  {L"QuilletInstallDir", L"/opt/Quillet \u00E9t\u00E9/gs"},
        {L"Shared", L"section value"}, {L"Global", L"everywhere"}, {L"Equation", L"a=b # not a comment"},
        {L"Twice", L"second"},         {L"PreviewName", L"<unset>"},
    };
    for (const auto& [name, value] : expected)
        EXPECT_EQ(Get(store, name), value) << ToUtf8(name);
    store->SetRoot(L"Some Other Root");
    EXPECT_EQ(Get(store, L"QueueName"), L"wrong queue");
    EXPECT_EQ(Get(store, L"Shared"), L"global value");
}

TEST_F(PreferencesTest, GarbledStoresKeepTheirValidLines)
{
    std::string garbage;
    for (int i = 0; i < 5000; ++i)
        garbage.push_back(static_cast<char>(i * 131 % 256));
    WriteWholeFile(path, garbage + "\n[" + ToUtf8(kRoot) + "]\n" +
                        "no equals sign\n"
                        "=no name\n"
                        "BadValue=\xFF\xFE\n"
                        "Nul=a" + std::string(1, '\0') + "b\n"
                        "Good=yes\n" +
                        std::string(300000, 'y') + "=long line\n" +
                        "[broken section\n"
                        "Hidden=no\n"
                        "[" + ToUtf8(kRoot) + "]\n"
                        "Again=yes\n");
    IPreferences* store = Store();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Get(store, L"Good"), L"yes");
    EXPECT_EQ(Get(store, L"Again"), L"yes");
    for (const wchar_t* name : {L"Hidden", L"BadValue", L"Nul", L"no equals sign", L""})
        EXPECT_EQ(Get(store, name), L"<unset>") << ToUtf8(name);

    // Far too large: only the complete lines of its first part are read.
    WriteWholeFile(path, "[" + ToUtf8(kRoot) + "]\nFirst=1\n" + std::string(3 << 20, 'z') + "\nLast=1\n");
    EXPECT_EQ(Get(Store(), L"First"), L"1");
    EXPECT_EQ(Get(Store(), L"Last"), L"<unset>");
}

TEST_F(PreferencesTest, WithoutTheVariableTheBuildTreeStoreIsFound)
{
    // The test binary sits in the build tree's bin/, whose ../etc holds the
    // build's own store.
    if (!fs::exists(QUILLET_BUILD_STORE))
        GTEST_SKIP() << "the build tree has no store";
    ScopedEnv unset("QUILLET_PREFERENCES", nullptr);
    IPreferences* store = Store();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Get(store, L"QueueName"), L"QV Page Glance");

    // An installation keeps its store under its prefix, the system's own in /etc.
    const std::pair<const wchar_t*, const wchar_t*> folders[] = {
        {L"/usr", L"/etc"}, {L"/usr/", L"/etc"}, {L"/", L"/etc"},
        {L"/usr/local", L"/usr/local/etc"}, {L"/opt/quillet", L"/opt/quillet/etc"}};
    for (const auto& [prefix, folder] : folders)
        EXPECT_EQ(ZUtilities::GetConfigurationFolder(prefix), folder) << ToUtf8(prefix);
}

TEST_F(PreferencesTest, ConcurrentReadersWhileTheFileChanges)
{
    const std::string header = "[" + ToUtf8(kRoot) + "]\n";
    WriteWholeFile(path, header + "QueueName=one\n");
    ASSERT_NE(Store(), nullptr);
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&] {
            while (!stop.load()) {
                std::wstring value;
                IPreferences* store = ZUtilities::GetPreferences();
                if (store && store->GetString(L"QueueName", value)) {
                    ASSERT_TRUE(value == L"one" || value == L"two") << ToUtf8(value);
                }
            }
        });
    for (int i = 0; i < 200; ++i) {
        // Replaced by rename, as an editor does, so readers never see half a file.
        WriteWholeFile(path + ".new", header + (i % 2 ? "QueueName=one\n" : "QueueName=two\n"));
        fs::rename(fs::path(path + ".new"), fs::path(path));
    }
    stop = true;
    for (auto& reader : readers)
        reader.join();
}
