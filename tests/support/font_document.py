#!/usr/bin/python3
# font_document.py: writes an .odt whose text is set in a font of a given
# name, optionally embedding a font file renamed to that name (an attacker's
# look-alike of a font another document uses, or a document's private font).
#
#   font_document.py OUT.odt TEXT FONT_NAME [FONT_FILE]
#
# FONT_FILE is a TrueType font; its name table is rewritten to FONT_NAME and
# its embedding rights set to installable, so the office suite registers it.
import io
import sys
import zipfile

from fontTools.ttLib import TTFont


def renamed_font(path, name):
    font = TTFont(path)
    for record in font["name"].names:
        if record.nameID in (1, 4, 16):
            record.string = name
        elif record.nameID == 6:
            record.string = name.replace(" ", "")
        elif record.nameID in (2, 17):
            record.string = "Regular"
    font["OS/2"].fsType = 0
    out = io.BytesIO()
    font.save(out)
    return out.getvalue()


def main():
    out, text, name = sys.argv[1:4]
    embedded = renamed_font(sys.argv[4], name) if len(sys.argv) > 4 else None
    source = ""
    if embedded:
        source = ('<svg:font-face-src><svg:font-face-uri xlink:href="Fonts/embedded.ttf" xlink:type="simple">'
                  '<svg:font-face-format svg:string="truetype"/></svg:font-face-uri></svg:font-face-src>')
    namespaces = ('xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" '
                  'xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" '
                  'xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" '
                  'xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" '
                  'xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" '
                  'xmlns:xlink="http://www.w3.org/1999/xlink" office:version="1.3"')
    content = f'''<?xml version="1.0" encoding="UTF-8"?>
<office:document-content {namespaces}>
<office:font-face-decls><style:font-face style:name="{name}" svg:font-family="'{name}'">{source}</style:font-face>
</office:font-face-decls>
<office:automatic-styles><style:style style:name="P1" style:family="paragraph">
<style:text-properties style:font-name="{name}" fo:font-size="28pt"/></style:style></office:automatic-styles>
<office:body><office:text><text:p text:style-name="P1">{text}</text:p></office:text></office:body>
</office:document-content>
'''
    manifest = '''<?xml version="1.0" encoding="UTF-8"?>
<manifest:manifest xmlns:manifest="urn:oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.3">
<manifest:file-entry manifest:full-path="/" manifest:media-type="application/vnd.oasis.opendocument.text"/>
<manifest:file-entry manifest:full-path="content.xml" manifest:media-type="text/xml"/>
''' + ('<manifest:file-entry manifest:full-path="Fonts/embedded.ttf" '
       'manifest:media-type="application/x-font-ttf"/>\n' if embedded else '') + '</manifest:manifest>\n'
    with zipfile.ZipFile(out, "w") as package:
        package.writestr(zipfile.ZipInfo("mimetype"), "application/vnd.oasis.opendocument.text")
        package.writestr("content.xml", content, zipfile.ZIP_DEFLATED)
        package.writestr("META-INF/manifest.xml", manifest, zipfile.ZIP_DEFLATED)
        if embedded:
            package.writestr("Fonts/embedded.ttf", embedded, zipfile.ZIP_DEFLATED)


main()
