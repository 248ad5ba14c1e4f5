// Page checks: whether a page file is a well-formed image of the run's format
// and size, and whether a page size or resolution can be rendered at all.
#pragma once

#include <quillet/IRIPBase.h>

#include <cstdint>
#include <string>

namespace Quillet {

/// What a page file's bytes show.
enum class PageFileState {
    Whole,     ///< a well-formed image of the format (and size, when one was asked for)
    CutShort,  ///< the start of such an image that ends too early (its writer did not finish)
    Broken,    ///< missing, not a regular file, or not such an image
    Unknown,  ///< a format that is no image (PCL, PostScript): nothing to check
    TooLarge,  ///< an image of more pixels than the run allows
};

/// True for the formats whose files CheckPageFile checks (every image
/// format); false for PCL and PostScript.
bool HasPageCheck(RIPFormat format);

/// Checks the page file at path, written in format, reading it once from its
/// start: PNG by its signature, header chunk, every chunk's CRC and its end
/// chunk; JPEG by its markers and segment lengths up to the end-of-image
/// marker that ends the file; BMP by its headers and a length that matches
/// its rows; TIFF by its header, its directory and strips that lie within the
/// file. The image's colour kind must be the format's. width and height,
/// when both are at least 1, are the pixel size the image must have. A
/// symbolic link, a FIFO or a device under the name is Broken, never
/// followed or waited for. why, when given, gets what was wrong for Broken
/// and CutShort ("a chunk's CRC is wrong", "it is 100x100 pixels, not
/// 200x300", "it is cut short"). maxPixels, when at least 1, is the most
/// pixels (width times height) the image may have: a larger one is TooLarge,
/// why saying its size. landscape, when given, is set to whether an image
/// whose size passed is wider than tall.
PageFileState CheckPageFile(const std::wstring& path, RIPFormat format, std::int32_t width = 0,
                            std::int32_t height = 0, std::string* why = nullptr, std::int64_t maxPixels = 0,
                            bool* landscape = nullptr);

/// The pixel size of the image in the page file at path, written in format:
/// true when CheckPageFile finds it Whole; false, with 0 and 0, otherwise.
bool PageFileSize(const std::wstring& path, RIPFormat format, std::int32_t& width, std::int32_t& height);

/// Whether a page of width x height device pixels (page size; 0 when not
/// set) at resolution dots per inch (0 when not set) can be rendered in
/// format at all: every side within the renderer's coordinate range and the
/// format's largest image, and one page's raster within 1 TiB. Without a page
/// size the resolution is judged by the page a job gets unless it asks for
/// another (A4 or Letter, whichever side is longer). maxPixels, when at
/// least 1, is the run's bound on a page's pixels, which that page must keep
/// to as well. False, with why naming the limit, when it cannot.
bool CheckPageGeometry(RIPFormat format, std::int32_t width, std::int32_t height, std::int32_t resolution,
                       std::string& why, std::int64_t maxPixels = 0);

/// A count of pixels as a reason gives it: "100 million", or the number.
std::string PixelCountText(std::int64_t pixels);

}  // namespace Quillet
