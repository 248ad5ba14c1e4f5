#!/usr/bin/env bash
# Makes the shipped sample documents from their sources in data/ (text we
# wrote): data/sample.pdf with Ghostscript, data/sample.docx and
# data/slides.pptx with LibreOffice. Run after changing a source; the results
# are committed.
set -euo pipefail
cd "$(dirname "$0")/../data"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -o sample.pdf sample-pdf.ps
profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
soffice -env:UserInstallation="file://$profile" --headless --convert-to docx sample.fodt >/dev/null
soffice -env:UserInstallation="file://$profile" --headless --convert-to pptx slides.fodp >/dev/null
