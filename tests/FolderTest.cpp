// Files, folders and page readiness through the neutral interfaces alone, so
// that the same cases hold on every system: held and private folders, folder
// surveys, the page watch's signs, job sources and a spooler's lock, the
// storage classes, unique prefixes and the sweep of a dead process's leftovers.
#include "platform/FileHandle.h"
#include "platform/FolderSurvey.h"
#include "platform/HeldFolder.h"
#include "platform/PageWatch.h"
#include "platform/Paths.h"
#include "platform/PrivateFolder.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZUtilities.h"
#include "support/FileAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <string>
#include <thread>
#include <vector>

using namespace Quillet;
using namespace Quillet::Platform;

namespace {

// A process id no system hands out: Linux's ids stay below 2^22, Windows'
// are multiples of 4.
constexpr std::uint32_t kGoneProcess = 2147483001u;

// Names with a space, accented letters and a character beyond U+FFFF, which
// takes a surrogate pair where wchar_t has 16 bits.
const std::wstring kOddName = L"page \u00e9t\u00e9 \U0001F600";

bool Put(const std::wstring& path, const std::string& bytes)
{
    ZFileStream stream;
    return stream.Open(ZFileStream::kCreate, ZString(path)) == ZBASE_OK &&
           stream.Write(bytes.data(), bytes.size()) == ZBASE_OK;
}

std::string Get(const std::wstring& path)
{
    ZFileStream stream;
    std::string bytes;
    char buffer[4096];
    std::size_t count = 0;
    if (stream.Open(ZFileStream::kRead, ZString(path)) != ZBASE_OK)
        return "<unreadable>";
    while (stream.Read(buffer, sizeof buffer, count) == ZBASE_OK && count > 0)
        bytes.append(buffer, count);
    return bytes;
}

bool Exists(const std::wstring& path)
{
    return GetPathKind(path) != PathKind::Missing;
}

class FolderTest : public testing::Test {
protected:
    std::wstring At(std::initializer_list<std::wstring_view> parts) const
    {
        std::wstring path = scratch.GetPath();
        for (const std::wstring_view part : parts)
            path = JoinPath({path, part});
        return path;
    }

    PrivateFolder scratch{L"quillet-folders"};
};

}  // namespace

TEST(PathsTest, CutsNeverGoIntoTheRoot)
{
    std::wstring temp;
    ASSERT_TRUE(ZBaseStorage::TempDirPath(temp));
    const std::wstring root = temp.substr(0, PathRootLength(temp));
    ASSERT_FALSE(root.empty());
    ASSERT_TRUE(IsPathSeparator(root.back()));
    const std::wstring a = JoinPath({L"a"}), ab = JoinPath({L"a", L"b"});
    struct Case {
        std::wstring path, folder, name;
    };
    const Case cases[] = {
        {root + L"x", root, L"x"},
        {JoinPath({root, L"a", L"b"}), JoinPath({root, L"a"}), L"b"},
        {root, root, L""},
        {ab, a, L"b"},
        {a, a, a},
        {ab + PathSeparator(), ab, L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FolderOf(c.path), c.folder) << c.path.size();
        EXPECT_EQ(FileNameOf(c.path), c.name) << c.path.size();
    }
    EXPECT_EQ(PathRootLength(ab), 0u);
    EXPECT_EQ(JoinPath({root, L"", L"x"}), root + L"x");
    EXPECT_EQ(JoinPath({L"", L"b"}), L"b");
    const std::wstring program = ProgramPath(ab + PathSeparator(), L"qvoffice");
    EXPECT_EQ(FolderOf(program), ab);
    EXPECT_EQ(FileNameOf(program).compare(0, 8, L"qvoffice"), 0);
}

TEST_F(FolderTest, PrivateFoldersAreMadeAndGoWithAllTheyHold)
{
    ASSERT_TRUE(scratch.IsValid());
    std::wstring temp;
    ASSERT_TRUE(ZBaseStorage::TempDirPath(temp));
    EXPECT_TRUE(IsPathSeparator(temp.back()));
    EXPECT_EQ(scratch.GetPath().compare(0, temp.size() + 16, temp + L"quillet-folders-"), 0);
    EXPECT_FALSE(IsPathSeparator(scratch.GetPath().back()));

    std::wstring path;
    {
        PrivateFolder first(L"quillet-folders");
        PrivateFolder second(std::move(first));
        ASSERT_TRUE(second.IsValid());
        EXPECT_FALSE(first.IsValid());
        path = second.GetPath();
        ASSERT_EQ(ZDirStorage(ZString(JoinPath({path, L"a", L"b"}))).Create(), ZBASE_OK);
        ASSERT_TRUE(Put(JoinPath({path, L"a", L"b", kOddName}), "x"));
        ASSERT_TRUE(Put(JoinPath({path, L"top"}), "y"));
    }
    EXPECT_FALSE(Exists(path));
}

TEST_F(FolderTest, HeldFoldersAreMadeListedAndFollowedWhereTheyGo)
{
    const std::wstring pages = At({L"made", kOddName, L"pages"});
    HeldFolder held;
    std::string why;
    ASSERT_TRUE(held.Open(pages + PathSeparator(), why)) << why;
    EXPECT_TRUE(held.CanWrite(why)) << why;
    EXPECT_TRUE(held.IsStillAt(pages));
    ASSERT_TRUE(Put(JoinPath({pages, L"qv1_001.png"}), "1"));
    ASSERT_TRUE(Put(JoinPath({pages, L"qv1_002.png"}), "2"));
    ASSERT_TRUE(Put(JoinPath({pages, L"other"}), "3"));
    EXPECT_TRUE(held.Remove(L"qv1_002.png"));
    EXPECT_FALSE(held.Remove(L"qv1_002.png"));
    EXPECT_FALSE(Exists(JoinPath({pages, L"qv1_002.png"})));

    // Moved away: the name no longer leads to it, yet its files are still
    // reached through the hold.
    const std::wstring moved = At({L"made", L"moved"});
    ASSERT_TRUE(RenameFile(pages, moved));
    EXPECT_FALSE(held.IsStillAt(pages));
    EXPECT_EQ(held.List(L"qv1_"), std::vector<std::wstring>{L"qv1_001.png"});

    // Names that would leave the folder, and a folder inside, are never removed.
    ASSERT_EQ(ZDirStorage(ZString(JoinPath({moved, L"sub"}))).Create(), ZBASE_OK);
    for (const wchar_t* name : {L"", L".", L"..", L"sub"})
        EXPECT_FALSE(held.Remove(name)) << name;
    EXPECT_TRUE(Exists(JoinPath({moved, L"sub"})));

    // Not a folder: refused, and what was held is let go.
    EXPECT_FALSE(held.Open(JoinPath({moved, L"other"}), why));
    EXPECT_EQ(why, "it is not a folder");
    EXPECT_FALSE(held.IsOpen());
    const std::wstring open = At({L"open"});
    ASSERT_EQ(ZDirStorage(ZString(open)).Create(), ZBASE_OK);
    ASSERT_TRUE(QuilletTest::LetEveryoneWrite(open));
    EXPECT_FALSE(held.Open(open, why));
    EXPECT_EQ(why, "every user may write in it, and so replace its pages");
}

TEST(LongPathTest, PathsLongerThanTheOldLimitOf260Work)
{
    const std::wstring level(60, L'd');
    std::wstring top;
    {
        PrivateFolder scratch(L"quillet-folders");
        top = scratch.GetPath();
        const std::wstring deep = JoinPath({top, level, level, level, level, level});
        ASSERT_GT(deep.size(), 300u);
        ASSERT_EQ(ZDirStorage(ZString(deep)).Create(), ZBASE_OK);
        const std::wstring page = JoinPath({deep, L"p_001.png"}), copy = JoinPath({deep, L"copy"});
        ASSERT_TRUE(Put(page, "page"));
        EXPECT_EQ(Get(page), "page");
        EXPECT_EQ(ZFileStorage(ZString(page)).Copy(ZString(copy), false), ZBASE_OK);
        EXPECT_EQ(GetPathKind(page), PathKind::File);
        EXPECT_EQ(FolderFiles(top, {}).size(), 2u);
        HeldFolder held;
        std::string why;
        ASSERT_TRUE(held.Open(deep, why)) << why;
        EXPECT_EQ(held.List(L"p_"), std::vector<std::wstring>{L"p_001.png"});
        PageWatch watch;
        ASSERT_FALSE(watch.Open(deep));
        EXPECT_TRUE(watch.Look(page, copy, false).Complete());
        EXPECT_TRUE(held.Remove(L"p_001.png"));
    }
    EXPECT_FALSE(Exists(top)) << "removed with all it held";
}

TEST_F(FolderTest, SurveysSeeEveryChangeButARewriteOfTheSameBytes)
{
    const std::wstring office = At({L"office"});
    ASSERT_EQ(ZDirStorage(ZString(At({L"office", L"profile", L"user"}))).Create(), ZBASE_OK);
    ASSERT_EQ(ZDirStorage(ZString(At({L"office", L"in"}))).Create(), ZBASE_OK);
    ASSERT_TRUE(Put(At({L"office", L"profile", L"user", kOddName}), "settings"));
    ASSERT_TRUE(Put(At({L"office", L"in", L"doc.odt"}), "document"));
    const auto before = FolderFiles(office, {L"in"});
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before.begin()->first.find("profile"), 0u);
    EXPECT_EQ(FolderFiles(office, {L"in"}), before);
    EXPECT_GE(FolderBytes(office), 16u);

    struct Case {
        const char* what;
        std::wstring path;
        std::string bytes;
        bool changes;
    };
    const Case cases[] = {
        {"the same bytes again", At({L"office", L"profile", L"user", kOddName}), "settings", false},
        {"a skipped folder's file", At({L"office", L"in", L"other.odt"}), "x", false},
        {"other bytes, same length", At({L"office", L"profile", L"user", kOddName}), "settinGs", true},
        {"a new file", At({L"office", L"profile", L"font0.ttf"}), "", true},
    };
    for (const Case& c : cases) {
        const auto earlier = FolderFiles(office, {L"in"});
        ASSERT_TRUE(Put(c.path, c.bytes)) << c.what;
        EXPECT_EQ(FolderFiles(office, {L"in"}) != earlier, c.changes) << c.what;
    }
    EXPECT_TRUE(FolderFiles(At({L"nothing"}), {}).empty());
    EXPECT_EQ(FolderBytes(At({L"nothing"})), 0u);
}

TEST_F(FolderTest, APageIsDoneOnceItsWriterClosedItOrTheNextBegan)
{
    PageWatch watch;
    EXPECT_TRUE(watch.Open(At({L"missing"})));
    EXPECT_FALSE(watch.IsOpen());
    ASSERT_FALSE(watch.Open(scratch.GetPath())) << "the folder cannot be watched";
    ASSERT_TRUE(watch.IsOpen());
    const std::wstring first = At({L"p_001.png"}), second = At({L"p_002.png"});

    ZFileStream writer;
    ASSERT_EQ(writer.Open(ZFileStream::kCreate, ZString(first)), ZBASE_OK);
    ASSERT_EQ(writer.Write("half", 4), ZBASE_OK);
    watch.Rearm();
    PageSigns signs = watch.Look(first, second, false);
    EXPECT_FALSE(signs.closed);
    EXPECT_FALSE(signs.nextBegun);
    EXPECT_TRUE(watch.Look(first, second, true).Complete()) << "a writer that ended writes no more";

    // A folder under the next page's name is no page.
    ASSERT_EQ(ZDirStorage(ZString(second)).Create(), ZBASE_OK);
    EXPECT_FALSE(watch.Look(first, second, false).Complete());

    writer.Close();
    watch.Rearm();
    signs = watch.Look(first, At({L"p_003.png"}), false);
    EXPECT_TRUE(signs.closed);
    EXPECT_FALSE(signs.nextBegun);
    ASSERT_TRUE(Put(At({L"p_003.png"}), ""));
    EXPECT_TRUE(watch.Look(At({L"p_009.png"}), At({L"p_003.png"}), false).nextBegun);
    watch.Close();
    EXPECT_FALSE(watch.IsOpen());
}

TEST_F(FolderTest, JobSourcesReadFilesAndRefuseWhatIsNone)
{
    const std::wstring job = At({kOddName + L".ps"});
    ASSERT_TRUE(Put(job, "%!PS\nshowpage\n"));
    EXPECT_EQ(GetPathKind(job), PathKind::File);
    EXPECT_EQ(GetPathKind(scratch.GetPath()), PathKind::Directory);
    EXPECT_EQ(GetPathKind(At({L"missing"})), PathKind::Missing);
    EXPECT_EQ(GetPathKind(std::wstring(L"a\0b", 3)), PathKind::Missing);
    EXPECT_FALSE(OpenForReading(scratch.GetPath()).IsValid());
    std::uint64_t length = 0;
    EXPECT_FALSE(OpenRegularFile(scratch.GetPath(), length).IsValid());
    EXPECT_EQ(PipePath(L""), L"");
    EXPECT_EQ(PipePath(L".."), L"");
    EXPECT_EQ(PipePath(L"gstojs_7"), PipeFolder() + L"gstojs_7");

    UniqueHandle source(OpenForReading(job));
    ASSERT_TRUE(source.IsValid());
    char buffer[64];
    std::size_t count = 0;
    ASSERT_EQ(ReadSource(source.Get(), buffer, 5, count), ReadStatus::Data);
    EXPECT_EQ(std::string(buffer, count), "%!PS\n");
    EXPECT_TRUE(ReadAt(source.Get(), 5, buffer, 4, count));
    EXPECT_EQ(std::string(buffer, count), "show");
    EXPECT_TRUE(ReadAt(source.Get(), 100, buffer, 4, count));
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(ReadSource(source.Get(), buffer, sizeof buffer, count), ReadStatus::Data) << "ReadAt kept the position";
    EXPECT_EQ(std::string(buffer, count), "showpage\n");
    EXPECT_EQ(ReadSource(source.Get(), buffer, sizeof buffer, count), ReadStatus::End);
    EXPECT_TRUE(GetFileLength(source.Get(), length));
    EXPECT_EQ(length, 14u);
    EXPECT_TRUE(Rewind(source.Get()));
    EXPECT_EQ(ReadSource(source.Get(), buffer, 2, count), ReadStatus::Data);
    EXPECT_EQ(std::string(buffer, count), "%!");

    // A spooler still writing the tail holds it locked: the part before is
    // read, then nothing until the lock goes.
    std::shared_ptr<void> lock = QuilletTest::LockForWriting(job, 10, 100);
    ASSERT_TRUE(lock);
    UniqueHandle spooled(OpenForReading(job));
    ASSERT_EQ(ReadSource(spooled.Get(), buffer, sizeof buffer, count), ReadStatus::Data);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(ReadSource(spooled.Get(), buffer, sizeof buffer, count), ReadStatus::Locked);
    lock.reset();
    ASSERT_EQ(ReadSource(spooled.Get(), buffer, sizeof buffer, count), ReadStatus::Data);
    EXPECT_EQ(std::string(buffer, count), "age\n");

    UniqueHandle regular(OpenRegularFile(job, length));
    EXPECT_TRUE(regular.IsValid());
    std::string start;
    EXPECT_TRUE(ReadFileStart(job, 4, start));
    EXPECT_EQ(start, "%!PS");
    EXPECT_FALSE(ReadFileStart(scratch.GetPath(), 4, start));
    EXPECT_FALSE(ReadFileStart(At({L"missing"}), 4, start));
}

TEST(PipeSourceTest, APipeNameIsReadToItsWritersEnd)
{
    const std::wstring name = L"quillet-source-" + std::to_wstring(ZHelper::GetThisProcessID());
    EXPECT_EQ(GetPathKind(PipePath(name)), PathKind::Missing);
    bool made = false;
    std::thread writer = QuilletTest::ServePipe(name, "%!PS\nshowpage\n", 100, &made);
    ASSERT_TRUE(made);
    EXPECT_EQ(GetPathKind(PipePath(name)), PathKind::Fifo);
    UniqueHandle source(OpenForReading(PipePath(name)));
    ASSERT_TRUE(source.IsValid());
    // The writer comes late: the reader waits for it instead of seeing an end.
    std::string text;
    char buffer[4];
    std::size_t count = 0;
    ReadStatus status;
    while ((status = ReadSource(source.Get(), buffer, sizeof buffer, count)) == ReadStatus::Data)
        text.append(buffer, count);
    EXPECT_EQ(status, ReadStatus::End);
    EXPECT_EQ(text, "%!PS\nshowpage\n");
    writer.join();
    std::uint64_t length = 0;
    EXPECT_FALSE(GetFileLength(source.Get(), length));
    EXPECT_FALSE(Rewind(source.Get()));
}

TEST_F(FolderTest, StorageCopiesCreatesListsAndMeasures)
{
    const std::wstring source = At({kOddName}), dest = At({L"copy"});
    ASSERT_TRUE(Put(source, std::string(70000, 'q')));
    ZFileStorage file{ZString(source)};
    EXPECT_TRUE(file.Exists());
    EXPECT_EQ(file.Copy(ZString(dest), true), ZBASE_OK);
    EXPECT_NE(file.Copy(ZString(dest), true), ZBASE_OK) << "it exists";
    ASSERT_TRUE(Put(dest, "older"));
    EXPECT_EQ(file.Copy(ZString(dest), false), ZBASE_OK);
    EXPECT_EQ(Get(dest), std::string(70000, 'q'));
    EXPECT_EQ(file.Copy(ZString(source), false), ZBASE_OK) << "onto itself";
    unsigned long long size = 0;
    EXPECT_TRUE(file.GetSize(size));
    EXPECT_EQ(size, 70000u);

    EXPECT_NE(ZFileStorage(ZString(scratch.GetPath())).Copy(ZString(At({L"x"})), false), ZBASE_OK) << "a folder";
    std::vector<std::wstring> names;
    ZDirStorage(ZString(scratch.GetPath())).List(L"", names);
    EXPECT_EQ(names.size(), 2u) << "no copy's temporary file stays behind";

    ZFileStream appended;
    ASSERT_EQ(appended.Open(ZFileStream::kAppend, ZString(dest)), ZBASE_OK);
    ASSERT_EQ(appended.Write(std::string("\0!", 2).data(), 2), ZBASE_OK);
    appended.Close();
    EXPECT_EQ(Get(dest), std::string(70000, 'q') + std::string("\0!", 2));
    EXPECT_NE(appended.Open(ZFileStream::kCreate, ZString(std::wstring(L"bad\0name", 8))), ZBASE_OK);

    const std::wstring nested = At({L"one", L"two", L"three"});
    EXPECT_EQ(ZDirStorage(ZString(nested)).Create(), ZBASE_OK);
    EXPECT_EQ(ZDirStorage(ZString(nested)).Create(), ZBASE_OK) << "made already";
    EXPECT_NE(ZDirStorage(ZString(JoinPath({dest, L"below"}))).Create(), ZBASE_OK) << "a file in the way";
    EXPECT_TRUE(ZDirStorage(ZString(nested)).Exists());
    EXPECT_FALSE(ZFileStorage(ZString(nested)).Exists());
    EXPECT_FALSE(ZDirStorage(ZString(dest)).Exists());
    ASSERT_TRUE(Put(JoinPath({nested, L"deep"}), "12345"));
    ZDirStorage folder{ZString(scratch.GetPath())};
    EXPECT_EQ(folder.GetContentSize(L"", false), 140002u);
    EXPECT_EQ(folder.GetContentSize(L"", true), 140007u);
    EXPECT_EQ(folder.GetContentSize(L"co", false), 70002u);
    names.clear();
    folder.List(L"o", names);
    EXPECT_EQ(names, std::vector<std::wstring>{L"one"});

    std::string why;
    EXPECT_TRUE(ZDirStorage(ZString(At({L"own"}))).CreateOwn(why)) << why;
    EXPECT_TRUE(ZDirStorage(ZString(At({L"own"}))).CreateOwn(why)) << why;
    EXPECT_FALSE(ZDirStorage(ZString(dest)).CreateOwn(why));

    EXPECT_EQ(ZFileStorage(ZString(dest)).Delete(false), ZBASE_OK);
    EXPECT_NE(ZFileStorage(ZString(dest)).Delete(false), ZBASE_OK);
    EXPECT_NE(ZFileStorage(ZString(nested)).Delete(false), ZBASE_OK) << "a folder";

    std::wstring relative = JoinPath({L"a", L"b"});
    ASSERT_TRUE(ZBaseStorage::MakeAbsolute(relative));
    std::wstring absolute = relative;
    ASSERT_TRUE(ZBaseStorage::MakeAbsolute(absolute));
    EXPECT_EQ(absolute, relative);
    EXPECT_EQ(relative.substr(relative.size() - 4), JoinPath({L"a", L"b"}).insert(0, 1, PathSeparator()));
}

TEST_F(FolderTest, PrefixesAvoidEntriesAndOnlyTheDeadsLeftoversGo)
{
    const std::wstring prefix = ZUtilities::GetUniqueFilePrefix(scratch.GetPath());
    EXPECT_NE(ZUtilities::GetUniqueFilePrefix(scratch.GetPath()), prefix);
    EXPECT_TRUE(std::all_of(prefix.begin(), prefix.end(), [](wchar_t c) { return std::iswalnum(c); })) << prefix.size();

    EXPECT_TRUE(ZUtilities::IsProcessAlive(ZHelper::GetThisProcessID()));
    EXPECT_FALSE(ZUtilities::IsProcessAlive(kGoneProcess));
    const std::wstring own = L"qv" + std::to_wstring(ZHelper::GetThisProcessID()) + L"n0abcdef.mark.ps";
    const std::wstring dead = L"qv" + std::to_wstring(kGoneProcess) + L"n0abcdef.mark.ps";
    const std::wstring unmarked = L"qv" + std::to_wstring(kGoneProcess) + L"n1abcdef.ps";
    for (const std::wstring& name : {own, dead, unmarked})
        ASSERT_TRUE(Put(At({name}), "x"));
    ASSERT_EQ(ZDirStorage(ZString(At({dead + L".d", L"inner"}))).Create(), ZBASE_OK);
    ZUtilities::RemoveAbandonedFiles(scratch.GetPath(), L".mark");
    EXPECT_TRUE(Exists(At({own})));
    EXPECT_TRUE(Exists(At({unmarked})));
    EXPECT_FALSE(Exists(At({dead})));
    EXPECT_FALSE(Exists(At({dead + L".d"})));

    const std::wstring library = ZUtilities::GetLibraryFolder();
    std::wstring absolute = library;
    EXPECT_FALSE(library.empty());
    EXPECT_TRUE(ZBaseStorage::MakeAbsolute(absolute) && absolute == library) << "absolute already";
    EXPECT_EQ(GetPathKind(library), PathKind::Directory);
    const std::wstring fonts = ZBaseStorage::FontsFolderPath();
    EXPECT_TRUE(fonts.empty() || GetPathKind(fonts) == PathKind::Directory);
}
