// DocumentKind: what a document is, as far as rendering it goes.
#pragma once

#include <string>

namespace Quillet {

/// How a document reaches Ghostscript.
enum class DocumentKind {
    Printed,  ///< anything else: printed to the virtual queue (or a PostScript job by its name)
    Pdf,      ///< a PDF document, read by Ghostscript itself
    Eps,      ///< an Encapsulated PostScript document, read by Ghostscript itself
    Office,   ///< an office document, laid out as PDF by the office suite first
};

/// The kind of the document at path. PDF and EPS are recognised by their
/// content (a "%PDF-" header within the first KiB; an EPS header line, or
/// the binary EPS preview header), whatever their name; office documents and
/// pictures by their extension (.odt, .docx, .xlsx, .pptx, .rtf and their kin;
/// .png, .jpg, .tiff, .gif, .svg). A file
/// that cannot be read is Printed, whose printing then says why.
DocumentKind GetDocumentKind(const std::wstring& path);

}  // namespace Quillet
