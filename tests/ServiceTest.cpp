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

    const std::wstring& Manufacturer() const { return ijsManufacturer; }
    const std::wstring& Model() const { return ijsModel; }
    const std::wstring& IjsParams() const { return ijsParams; }

private:
    bool* destroyed;
    bool throwing;
};

std::wstring TempFile(const std::string& name, std::size_t bytes)
{
    const std::string path = testing::TempDir() + name + "-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
    return std::wstring(path.begin(), path.end());
}

}  // namespace

TEST(ServiceSettingsTest, DefaultsAndRoundTrips)
{
    auto* rip = new SettingsOnly(L"/docs/a.ps");
    EXPECT_EQ(rip->GetInputDocument(), L"/docs/a.ps");
    EXPECT_EQ(rip->GetOutputFormat(), RIP_PNGALPHA);
    EXPECT_EQ(rip->GetResolution(), 0);
    EXPECT_EQ(rip->GetPageWidth(), 0);
    EXPECT_EQ(rip->GetPageHeight(), 0);
    EXPECT_FALSE(rip->GetUseCIEColor());
    EXPECT_FALSE(rip->GetIsSplitMerge());
    EXPECT_FALSE(rip->GetUseTTFont());
    EXPECT_EQ(rip->GetOutputFolder(), L"");
    EXPECT_EQ(rip->GetCustomParams(), L"");
    EXPECT_EQ(rip->Manufacturer(), L"QV");
    EXPECT_EQ(rip->Model(), L"GenericVIP");
    EXPECT_EQ(rip->IjsParams(), L"");

    // Setters store what they are given, unchecked.
    rip->SetPageSize(-5, 0);
    EXPECT_EQ(rip->GetPageWidth(), -5);
    EXPECT_EQ(rip->GetPageHeight(), 0);
    rip->SetOutputFormat(static_cast<RIPFormat>(42));
    EXPECT_EQ(rip->GetOutputFormat(), 42);
    rip->SetIJSModel(L"M", L"X");
    EXPECT_EQ(rip->Manufacturer(), L"M");
    EXPECT_EQ(rip->Model(), L"X");

    rip->SetCustomParams(L"-dFoo");
    std::wstring copy = rip->GetCustomParams();
    copy += L"changed";
    EXPECT_EQ(rip->GetCustomParams(), L"-dFoo");
    EXPECT_TRUE(rip->Release());
}

TEST(ServiceSettingsTest, ReleaseReportsAThrowingDestructor)
{
    bool destroyed = false;
    EXPECT_TRUE((new SettingsOnly(L"", &destroyed))->Release());
    EXPECT_TRUE(destroyed);
    destroyed = false;
    EXPECT_FALSE((new SettingsOnly(L"", &destroyed, true))->Release());
    EXPECT_TRUE(destroyed);
}

TEST(BitmapFileTest, OrientationIsAlwaysOneToFour)
{
    BitmapFile page(L"/x");
    EXPECT_EQ(page.Orientation(), 1);
    for (int bad : {0, 5, -1, 1 << 30}) {
        page.SetOrientation(4);
        page.SetOrientation(bad);
        EXPECT_EQ(page.Orientation(), 1) << bad;
    }
    page.SetOrientation(3);
    BitmapFile other;
    other = page;
    EXPECT_EQ(other.Orientation(), 3);
    EXPECT_EQ(other.GetFilePath(), L"/x");
}

TEST(BitmapFileTest, EqualityComparesFileSizesAndCachesThem)
{
    const std::wstring a = TempFile("bf-a", 100);
    const std::wstring b = TempFile("bf-b", 100);
    const std::wstring c = TempFile("bf-c", 200);
    BitmapFile pa(a), pb(b), pc(c);
    EXPECT_TRUE(pa == pb);  // different files, same length
    EXPECT_FALSE(pa == pc);

    // Missing files both measure 0.
    BitmapFile m1(L"/nonexistent/1"), m2(L"/nonexistent/2");
    EXPECT_TRUE(m1 == m2);

    // A copy keeps the cached size even when the file changes afterwards...
    BitmapFile copy(pa);
    std::ofstream(std::string(a.begin(), a.end()), std::ios::binary) << std::string(200, 'y');
    EXPECT_TRUE(copy == pb);
    // ...an assignment measures again.
    BitmapFile assigned;
    assigned = pa;
    EXPECT_TRUE(assigned == pc);

    pa.DeleteBitmapFile();
    EXPECT_EQ(pa.GetFilePath(), a);  // the record keeps its path
    EXPECT_EQ(access(std::string(a.begin(), a.end()).c_str(), F_OK), -1);
    pa.DeleteBitmapFile();  // already gone: ignored

    {
        BitmapFile scoped(b);
    }
    EXPECT_EQ(access(std::string(b.begin(), b.end()).c_str(), F_OK), 0);  // destruction keeps the file
    pb.DeleteBitmapFile();
    pc.DeleteBitmapFile();
}

TEST(SharedPtrTest, LastHolderDeletesTheObject)
{
    struct Tracked {
        explicit Tracked(int* alive) : alive(alive) { ++*alive; }
        virtual ~Tracked() { --*alive; }
        int* alive;
    };
    int alive = 0;
    {
        SharedPtr<Tracked> first(new Tracked(&alive));
        EXPECT_EQ(first.UseCount(), 1u);
        {
            SharedPtr<Tracked> second(first);
            EXPECT_EQ(first.UseCount(), 2u);
            SharedPtr<Tracked> third;
            third = second;
            EXPECT_EQ(first.UseCount(), 3u);
            third = third;
            EXPECT_EQ(first.UseCount(), 3u);
        }
        EXPECT_EQ(alive, 1);
        first.Release();
        EXPECT_EQ(alive, 0);
        EXPECT_FALSE(first);
        first.Release();  // a second release is harmless
    }
    EXPECT_EQ(alive, 0);
}
