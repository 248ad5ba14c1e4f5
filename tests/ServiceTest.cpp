// The service's settings, the page record and the counted holder.
#include "TestSupport.h"

#include "engine/SharedPtr.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <unistd.h>

using namespace Quillet;

namespace {

// The smallest concrete service, to reach the settings of the interface.
class SettingsOnly : public IRIPBase {
public:
    explicit SettingsOnly(const std::wstring& document, bool* destroyed = nullptr, bool throwing = false)
        : IRIPBase(document), destroyed(destroyed), throwing(throwing)
    {
    }
    ~SettingsOnly() noexcept(false) override
    {
        if (destroyed)
            *destroyed = true;
        if (throwing)
            throw std::runtime_error("destructor failed");
    }
    bool GetPage(std::int32_t, BitmapFile&) override { return false; }
    bool GetPages(IPageNotify*, bool) override { return false; }
    bool GetOutputFile(std::wstring&) override { return false; }
    void StartPreview() override {}
    void Stop() override {}
    void Cancel() override {}
    std::int32_t GetPageCount() override { return 0; }
    bool StartRIP() override { return false; }
    bool DeletePages() override { return true; }
    std::int32_t GetNumCopies() override { return -1; }
    bool GetIsCollated() override { return false; }
    std::int32_t GetOrientation() override { return 0; }
    void SetIntent(const std::wstring&) override {}

private:
    bool* destroyed;
    bool throwing;
};

std::wstring TempFile(const std::string& name, std::size_t bytes, char fill = 'x')
{
    const std::string path = testing::TempDir() + name + "-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
    return std::wstring(path.begin(), path.end());
}

}  // namespace

TEST(ServiceSettingsTest, ReleaseSeesAThrowingDestructor)
{
    bool destroyed = false;
    EXPECT_TRUE((new SettingsOnly(L"/docs/a.ps", &destroyed))->Release());
    EXPECT_TRUE(destroyed);
    destroyed = false;
    EXPECT_FALSE((new SettingsOnly(L"", &destroyed, true))->Release());
    EXPECT_TRUE(destroyed);
}

TEST(BitmapFileTest, OrientationStaysOneToFourAndEqualityComparesSizesThenContents)
{
    const std::wstring a = TempFile("bf-a", 100);
    const std::wstring b = TempFile("bf-b", 100);
    const std::wstring c = TempFile("bf-c", 200);
    const std::wstring d = TempFile("bf-d", 100, 'z');
    BitmapFile pa(a), pb(b), pc(c), pd(d);
    for (int bad : {0, 5, -1}) {
        pa.SetOrientation(4);
        pa.SetOrientation(bad);
        EXPECT_EQ(pa.Orientation(), 1) << bad;
    }
    EXPECT_TRUE(pa == pb);  // different files, same bytes
    EXPECT_FALSE(pa == pc);
    EXPECT_FALSE(pa == pd);  // same length, other bytes
    EXPECT_TRUE(BitmapFile(L"/nonexistent/1") == BitmapFile(L"/nonexistent/2"));
    // An assignment measures again: the path may name another file now.
    std::ofstream(std::string(a.begin(), a.end()), std::ios::binary) << std::string(200, 'x');
    BitmapFile assigned;
    assigned = pa;
    EXPECT_TRUE(assigned == pc);

    { BitmapFile scoped(b); }
    EXPECT_EQ(access(std::string(b.begin(), b.end()).c_str(), F_OK), 0);  // destruction keeps the file
    for (BitmapFile* page : {&pa, &pb, &pc, &pd})
        page->DeleteBitmapFile();
    EXPECT_EQ(access(std::string(a.begin(), a.end()).c_str(), F_OK), -1);
    pa.DeleteBitmapFile();  // already gone: ignored
}

TEST(SharedPtrTest, LastHolderDeletesTheObject)
{
    struct Tracked {
        explicit Tracked(int* alive) : alive(alive) { ++*alive; }
        virtual ~Tracked() { --*alive; }
        int* alive;
    };
    int alive = 0;
    SharedPtr<Tracked> first(new Tracked(&alive));
    {
        SharedPtr<Tracked> second(first);
        SharedPtr<Tracked> third;
        third = second;
        third = third;
        EXPECT_EQ(first.UseCount(), 3u);
    }
    EXPECT_EQ(alive, 1);
    first.Release();
    EXPECT_EQ(alive, 0);
    first.Release();  // a second release is harmless
}
