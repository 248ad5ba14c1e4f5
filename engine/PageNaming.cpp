// PageNaming: the output folder of a run, its page prefix and page names.
#include "engine/PageNaming.h"

#include "engine/OutputFormats.h"
#include "platform/Paths.h"
#include "platform/TextConversion.h"
#include "platform/ZBaseStorage.h"
#include "platform/ZString.h"
#include "platform/ZUtilities.h"
#include "settings/PathHelpers.h"

namespace Quillet {

std::wstring PageNaming::OutputDirectory(const std::wstring& outputFolder)
{
    std::wstring folder = outputFolder;
    if (folder.empty())
        return ZBaseStorage::UserTempDirPath(L"images");  // ends in the delimiter
    // The folder begins Ghostscript's output name, where a leading "|" or
    // "%" would make a pipe or a device of it and a leading "-" a switch:
    // made absolute (or, without a current folder, relative to "."), it
    // begins with neither.
    if (!ZBaseStorage::MakeAbsolute(folder))
        folder = L"./" + folder;
    AppendPathDelimiter(folder);
    return folder;
}

PageNaming PageNaming::New(const std::wstring& outputFolder, RIPFormat format)
{
    // Each run in the folder and format set at its start, so that the host
    // finds its pages where it said; with a fresh prefix, so that files an
    // earlier run left in the folder are never taken for this run's pages.
    // Both Ghostscript and FormatString read the pattern as a format: a "%"
    // in the folder is doubled so that it names itself.
    PageNaming naming;
    naming.defaultFolder = outputFolder.empty();
    naming.directory = OutputDirectory(outputFolder);
    naming.prefix = ZUtilities::GetUniqueFilePrefix(naming.directory);
    naming.extension = FormatOf(format).extension;
    naming.pattern = EscapePercent(naming.directory) + EscapePercent(naming.prefix) + L"_%03d." + naming.extension;
    return naming;
}

std::wstring PageNaming::GetName(std::int32_t n) const
{
    std::wstring name;
    FormatString(name, pattern.c_str(), n);
    return name;
}

std::wstring PageNaming::GetOwnPattern(std::size_t w) const
{
    return EscapePercent(directory) + EscapePercent(prefix) + L"w" + std::to_wstring(w + 1) + L"_%03d." + extension;
}

bool PageNaming::PrepareFolder(Platform::HeldFolder& held, std::string& why) const
{
    return Prepare(directory, defaultFolder, held, why);
}

bool PageNaming::PrepareFolderOf(const std::wstring& outputFolder, Platform::HeldFolder& held, std::string& why)
{
    return Prepare(OutputDirectory(outputFolder), outputFolder.empty(), held, why);
}

bool PageNaming::Prepare(const std::wstring& directory, bool defaultFolder, Platform::HeldFolder& held,
                         std::string& why)
{
    // The default folder lies where other users may write: it must be the
    // user's own, or another user could take or plant the pages.
    if (defaultFolder && !ZDirStorage(ZString(directory)).CreateOwn(why)) {
        why = "the default output folder cannot be used: " + why;
        return false;
    }
    // Any folder: whoever else may write in it could replace a page between
    // its check and the host's read. A folder the pages cannot be written
    // to is said so before any child starts, whatever the document's kind:
    // Ghostscript's own report of it differs from one reader of its to
    // another.
    if (held.Open(directory, why)) {
        if (held.CanWrite(why))
            return true;
        held.Close();
    }
    std::wstring name = directory;
    while (name.size() > 1 && Platform::IsPathSeparator(name.back()))
        name.pop_back();
    why = "the output folder " + ToUtf8(name) + " cannot be used: " + why;
    return false;
}

}  // namespace Quillet
