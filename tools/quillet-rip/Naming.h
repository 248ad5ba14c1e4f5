// PageNames: where quillet-rip puts a document's pages (a pattern of the
// document's stem, its page number and the format's extension, under the
// output folder), and the removal of pages an earlier run left there.
#pragma once

#include <filesystem>
#include <set>
#include <string>

namespace Rip {

class PageNames {
public:
    /// The patterns quillet-rip uses unless --name gives one: one document,
    /// several documents, single-file output.
    static const char* const kOneDocument;
    static const char* const kSeveralDocuments;
    static const char* const kSingleFile;

    /// Empty when pattern can name pages: relative, no "." or ".." part, known
    /// fields only, {page} in its last part (for page formats); else why not.
    static std::string Check(const std::string& pattern, bool singleFile);

    /// Names for document (as given on the command line), the index-th of the
    /// run; wholeName makes {stem} the whole file name, extension included.
    PageNames(std::filesystem::path folder, std::string pattern, const std::string& document, int index,
              bool wholeName = false);

    /// The path of page (number padded to width digits); page 0 for the one
    /// file of a single-file format, whose pattern's {page} is empty.
    std::filesystem::path PathOf(long page, int width, const std::string& extension) const;

    /// Removes the files that this pattern names for some page number (any
    /// number of digits) and that are not in written: pages of earlier runs.
    void RemoveOthers(const std::string& extension, const std::set<std::filesystem::path>& written) const;

    const std::string& Stem() const { return stem; }

private:
    std::string Expand(const std::string& text, const std::string& page, const std::string& extension) const;

    std::filesystem::path folder;
    std::string pattern;
    std::string stem;
    std::string name;
    int index;
};

}  // namespace Rip
