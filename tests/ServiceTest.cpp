// Release of a service whose destructor throws, and the page record.
#include "platform/TextConversion.h"
#include "support/Files.h"

#include <quillet/quillet.h>

#include <gtest/gtest.h>

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
    const QuilletTest::ScratchFolder scratch("quillet-bitmap");
    const std::string a = scratch.Write("a", std::string(100, 'x')), b = scratch.Write("b", std::string(100, 'x'));
    const std::string c = scratch.Write("c", std::string(200, 'x')), d = scratch.Write("d", std::string(100, 'z'));
    BitmapFile pa(FromUtf8(a)), pb(FromUtf8(b)), pc(FromUtf8(c)), pd(FromUtf8(d));
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
    scratch.Write("a", std::string(200, 'x'));
    BitmapFile assigned;
    assigned = pa;
    EXPECT_TRUE(assigned == pc);

    { BitmapFile scoped(FromUtf8(b)); }
    EXPECT_EQ(access(b.c_str(), F_OK), 0);  // destruction keeps the file
    for (BitmapFile* page : {&pa, &pb, &pc, &pd})
        page->DeleteBitmapFile();
    EXPECT_EQ(access(a.c_str(), F_OK), -1);
    pa.DeleteBitmapFile();  // already gone: ignored
}
