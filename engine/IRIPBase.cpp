// IRIPBase: the service's settings and its Release.
#include <quillet/IRIPBase.h>

namespace Quillet {

IRIPBase::IRIPBase(const std::wstring& document)
    : ijsManufacturer(L"QV"),
      ijsModel(L"GenericVIP"),
      inputDocument(document),
      outputFormat(RIP_PNGALPHA),
      resolution(0),
      pageWidth(0),
      pageHeight(0),
      useCIEColor(false),
      splitMerge(false),
      useTTFont(false),
      timeLimit(kDefaultTimeLimit),
      maxOutputBytes(kDefaultMaxOutputBytes),
      maxMemoryBytes(kDefaultMaxMemoryBytes),
      maxPages(kDefaultMaxPages),
      maxPagePixels(kDefaultMaxPagePixels),
      firstPage(0),
      lastPage(0),
      antiAliasing(false),
      jpegQuality(0)
{
}

IRIPBase::~IRIPBase() noexcept(false) = default;

bool IRIPBase::Release()
{
    try {
        delete this;
        return true;
    } catch (...) {
        return false;
    }
}

void IRIPBase::SetOutputFolder(const std::wstring& folder) { outputFolder = folder; }
const std::wstring& IRIPBase::GetOutputFolder() const { return outputFolder; }
void IRIPBase::SetOutputFormat(RIPFormat format) { outputFormat = format; }
RIPFormat IRIPBase::GetOutputFormat() const { return outputFormat; }

void IRIPBase::SetPageSize(std::int32_t width, std::int32_t height)
{
    pageWidth = width;
    pageHeight = height;
}

std::int32_t IRIPBase::GetPageWidth() const { return pageWidth; }
std::int32_t IRIPBase::GetPageHeight() const { return pageHeight; }
void IRIPBase::SetResolution(std::int32_t value) { resolution = value; }
std::int32_t IRIPBase::GetResolution() const { return resolution; }
void IRIPBase::SetUseCIEColor(bool flag) { useCIEColor = flag; }
bool IRIPBase::GetUseCIEColor() const { return useCIEColor; }
void IRIPBase::SetIsSplitMerge(bool flag) { splitMerge = flag; }
bool IRIPBase::GetIsSplitMerge() const { return splitMerge; }

void IRIPBase::SetIJSModel(const std::wstring& manufacturer, const std::wstring& model)
{
    ijsManufacturer = manufacturer;
    ijsModel = model;
}

void IRIPBase::SetIJSParams(const std::wstring& parameters) { ijsParams = parameters; }
void IRIPBase::SetCustomParams(const std::wstring& parameters) { customParams = parameters; }
std::wstring IRIPBase::GetCustomParams() const { return customParams; }
void IRIPBase::SetAntiAliasing(bool flag) { antiAliasing = flag; }
bool IRIPBase::GetAntiAliasing() const { return antiAliasing; }
void IRIPBase::SetJpegQuality(std::int32_t quality) { jpegQuality = quality; }
std::int32_t IRIPBase::GetJpegQuality() const { return jpegQuality; }
void IRIPBase::SetUseTTFont(bool flag) { useTTFont = flag; }
bool IRIPBase::GetUseTTFont() const { return useTTFont; }
const std::wstring& IRIPBase::GetInputDocument() const { return inputDocument; }
void IRIPBase::SetTimeLimit(std::int32_t seconds) { timeLimit = seconds; }
std::int32_t IRIPBase::GetTimeLimit() const { return timeLimit; }
void IRIPBase::SetMaxOutputBytes(std::int64_t bytes) { maxOutputBytes = bytes; }
std::int64_t IRIPBase::GetMaxOutputBytes() const { return maxOutputBytes; }
void IRIPBase::SetMaxMemoryBytes(std::int64_t bytes) { maxMemoryBytes = bytes; }
std::int64_t IRIPBase::GetMaxMemoryBytes() const { return maxMemoryBytes; }
void IRIPBase::SetMaxPages(std::int32_t pages) { maxPages = pages; }
std::int32_t IRIPBase::GetMaxPages() const { return maxPages; }
void IRIPBase::SetMaxPagePixels(std::int64_t pixels) { maxPagePixels = pixels; }
std::int64_t IRIPBase::GetMaxPagePixels() const { return maxPagePixels; }

void IRIPBase::SetPageRange(std::int32_t first, std::int32_t last)
{
    firstPage = first;
    lastPage = last;
    pageList.clear();
}

void IRIPBase::SetPageList(const std::wstring& pages) { pageList = pages; }
const std::wstring& IRIPBase::GetPageList() const { return pageList; }

std::int32_t IRIPBase::GetFirstPage() const { return firstPage; }
std::int32_t IRIPBase::GetLastPage() const { return lastPage; }

}  // namespace Quillet
