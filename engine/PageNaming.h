// PageNaming: where a run's pages go and what their files are called.
#pragma once

#include <quillet/IRIPBase.h>

#include "platform/HeldFolder.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quillet {

/// The names of one run's page files: the output folder (absolute, ending in
/// a delimiter), a prefix no file in it started with when the run began, and
/// the pattern "FOLDER PREFIX_%03d.EXT" that Ghostscript and FormatString
/// both read as a format ("%" in the folder or prefix doubled). A plain
/// value; New looks at the folder once.
class PageNaming {
public:
    PageNaming() = default;
    /// The naming of a new run in the host's output folder (empty: the
    /// user's own default folder in the temporary folder), for format.
    static PageNaming New(const std::wstring& outputFolder, RIPFormat format);
    /// The folder the pages of outputFolder go to, absolute and ending in a
    /// delimiter. Not created here.
    static std::wstring OutputDirectory(const std::wstring& outputFolder);

    bool IsSet() const { return !pattern.empty(); }
    const std::wstring& GetPattern() const { return pattern; }
    const std::wstring& GetDirectory() const { return directory; }
    const std::wstring& GetPrefix() const { return prefix; }
    /// The file name of page n.
    std::wstring GetName(std::int32_t n) const;
    /// The pattern of one of a run's processes (worker w, from 0): files of
    /// its own, counted in its own order, which take a page's name only
    /// when handed out.
    std::wstring GetOwnPattern(std::size_t w) const;

    /// Creates the folder, private to the user, when it is the default one
    /// and missing, and holds it open in held. False, with why, when anyone
    /// but the user (and the administrator) may change what is in it, or
    /// when the default folder is a link.
    bool PrepareFolder(Platform::HeldFolder& held, std::string& why) const;
    /// The same for the folder of the host's outputFolder, without a run.
    static bool PrepareFolderOf(const std::wstring& outputFolder, Platform::HeldFolder& held, std::string& why);

private:
    static bool Prepare(const std::wstring& directory, bool defaultFolder, Platform::HeldFolder& held,
                        std::string& why);

    std::wstring directory;
    std::wstring prefix;
    std::wstring pattern;
    std::wstring extension;
    bool defaultFolder = false;
};

}  // namespace Quillet
