"""Quillet for Python: turns one document into page images, page by page as they are ready.

    import quillet
    for page in quillet.render("report.pdf", dpi=150, output="/tmp/pages"):
        print(page.number, page.path, page.width, page.height, page.orientation)
        image = page.image()          # a PIL image, when Pillow is installed

PostScript, PDF and EPS are rendered by Ghostscript, office documents are laid out by an office
process that stays running for the interpreter's later documents, and other documents go through
the virtual print queue. Failures raise quillet.Error, which carries the stage and the reason.
The package calls libquillet's C interface through ctypes, which releases the GIL while it waits.
"""

import ctypes
import os

from . import _library

__all__ = ["render", "Page", "Error", "version", "start_office", "stop_office"]

_OK, _END, _TIMEOUT = 0, 1, 2
_ERROR_ARGUMENT, _ERROR_CAPTURE, _ERROR_RUN, _ERROR_SYSTEM = -1, -2, -3, -4
_STAGES = {0: "none", 1: "capture", 2: "start", 3: "render", 4: "stop"}
_OUTPUT_FOLDER, _FORMAT, _PAGE_WIDTH, _PAGE_HEIGHT, _RESOLUTION = 1, 2, 3, 4, 5
_TIME_LIMIT, _FIRST_PAGE, _LAST_PAGE, _PAGE_LIST = 9, 14, 15, 23
_REASON, _REPORT = 0, 1
# How long one wait for a page lasts before Python gets control back, so that
# a Ctrl-C (KeyboardInterrupt) is seen while a page is awaited.
_WAIT_MS = 100

# Output formats by name: the short names and Ghostscript's device names.
FORMATS = {
    "png": 9, "png16m": 9, "pngalpha": 3, "png256": 2, "pnggray": 4,
    "jpeg": 5, "jpeggray": 6, "bmp": 0, "bmp32b": 0, "bmpgray": 1,
    "tiff": 7, "tiff32nc": 7, "tiffg32d": 8, "pcl": 10, "ijs": 10, "ps": 11, "ps2write": 11,
}


class _CPage(ctypes.Structure):
    _fields_ = [("number", ctypes.c_int32), ("orientation", ctypes.c_int32),
                ("width", ctypes.c_int32), ("height", ctypes.c_int32),
                ("path", ctypes.c_char * 4096)]


def _load():
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.normpath(os.path.join(here, _library.FROM_PACKAGE))
    lib = ctypes.CDLL(beside if os.path.exists(beside) else _library.SONAME)
    service = ctypes.c_void_p
    signatures = {
        "quillet_version": (ctypes.c_char_p, []),
        "quillet_create": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(service)]),
        "quillet_release": (None, [service]),
        "quillet_set": (ctypes.c_int, [service, ctypes.c_int, ctypes.c_int64]),
        "quillet_set_text": (ctypes.c_int, [service, ctypes.c_int, ctypes.c_char_p]),
        "quillet_start": (ctypes.c_int, [service]),
        "quillet_next_page": (ctypes.c_int, [service, ctypes.c_int32, ctypes.POINTER(_CPage)]),
        "quillet_stop": (ctypes.c_int, [service]),
        "quillet_failure_stage": (ctypes.c_int32, [service]),
        "quillet_failure": (ctypes.c_size_t, [service, ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]),
        "quillet_start_office": (ctypes.c_int, []),
        "quillet_stop_office": (None, []),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    return lib


_lib = _load()


class Error(Exception):
    """A document that could not be rendered: stage is "capture", "start", "render" or "stop"
    (where the library's failure record puts it), or "system" when the system refused what a
    run needs; reason is one line of English; report the end of Ghostscript's own report."""

    def __init__(self, stage, reason, report=""):
        super().__init__(f"{stage}: {reason}")
        self.stage = stage
        self.reason = reason
        self.report = report


class Page:
    """One finished page: its document page number, file, pixel size (None for PCL and
    PostScript output) and orientation (1 portrait, 2 landscape, 3 and 4 upside down)."""

    __slots__ = ("number", "path", "width", "height", "orientation")

    def __init__(self, number, path, width, height, orientation):
        self.number = number
        self.path = path
        self.width = width
        self.height = height
        self.orientation = orientation

    def image(self):
        """The page as a PIL image (needs Pillow)."""
        from PIL import Image
        return Image.open(self.path)

    def __repr__(self):
        return (f"Page(number={self.number}, path={self.path!r}, width={self.width}, "
                f"height={self.height}, orientation={self.orientation})")


def version():
    """The version of the loaded libquillet."""
    return _lib.quillet_version().decode()


def start_office():
    """Starts an office process ahead of the first office document; False when none can start."""
    return _lib.quillet_start_office() == _OK


def stop_office():
    """Ends the office processes; the next office document starts a fresh one."""
    _lib.quillet_stop_office()


def _text(service, what):
    size = _lib.quillet_failure(service, what, None, 0)
    buffer = ctypes.create_string_buffer(size + 1)
    _lib.quillet_failure(service, what, buffer, size + 1)
    return buffer.value.decode("utf-8", "replace")


def _failure(service, code):
    stage = _STAGES.get(_lib.quillet_failure_stage(service), "none")
    reason = _text(service, _REASON)
    if code == _ERROR_SYSTEM:
        stage = "system"
    elif stage == "none" and code == _ERROR_RUN:
        stage, reason = "stop", "the run was stopped"
    return Error(stage, reason or "the library gave no reason", _text(service, _REPORT))


def _page_range(pages):
    if pages is None:
        return 0, 0
    if isinstance(pages, int):
        return pages, pages
    if isinstance(pages, str):
        first, dash, last = pages.partition("-")
        return int(first), (int(last) if last else 0) if dash else int(first)
    if isinstance(pages, range) and pages.step == 1 and len(pages) > 0:
        return pages.start, pages.stop - 1
    first, last = pages
    return first, last or 0


def _page_list(pages):
    """The text of a page list ("1,3,5-9") that pages is, or None for a page or a range."""
    if isinstance(pages, str) and "," in pages:
        items = pages.split(",")
    elif isinstance(pages, (list, set, frozenset)) or (isinstance(pages, range) and pages.step != 1):
        items = sorted(pages) if isinstance(pages, (set, frozenset)) else pages
    else:
        return None
    texts = []
    for item in items:
        if isinstance(item, bool) or not isinstance(item, (int, str, range, tuple)):
            raise ValueError(f"quillet: {item!r} is no page or range of pages")
        first, last = _page_range(item.strip() if isinstance(item, str) else item)
        if first < 1 or (last != 0 and last < first):
            raise ValueError(f"quillet: {item!r} is no page or range of pages (pages count from 1)")
        texts.append(str(first) if last == first else f"{first}-{last or ''}")
    if not texts:
        raise ValueError("quillet: the page list is empty")
    return ",".join(texts)


def _check(code, what):
    if code != _OK:
        raise ValueError(f"quillet: {what} was refused")


def render(path, dpi=None, format="png", pages=None, fit=None, time_limit=None, output=None):
    """Renders the document at path and yields its pages (Page) as they are ready.

    dpi: resolution; format: a name of FORMATS; pages: a page, (first, last) with last None or 0
    for "to the end", a range or "A-B", or a list of pages: a list of those (in any order),
    or "1,3,5-9"; fit: (width, height) of every page in device pixels;
    time_limit: seconds for the whole run (0: none; default the library's, 300); output: the
    folder of the page files (default the library's own). Raises Error when the document cannot
    be rendered. Leaving the loop early, or a Ctrl-C, stops the run.
    """
    if format not in FORMATS:
        raise ValueError(f"quillet: unknown format {format!r}; known: {', '.join(sorted(FORMATS))}")
    page_list = _page_list(pages)
    first, last = _page_range(pages) if page_list is None else (0, 0)
    service = ctypes.c_void_p()
    code = _lib.quillet_create(os.fsencode(path), ctypes.byref(service))
    if code == _ERROR_ARGUMENT:
        raise ValueError(f"quillet: the document name {path!r} cannot be passed on")
    if code != _OK:
        raise Error("system", "the service could not be created")
    started = False
    try:
        _check(_lib.quillet_set(service, _FORMAT, FORMATS[format]), "the format")
        if output is not None:
            _check(_lib.quillet_set_text(service, _OUTPUT_FOLDER, os.fsencode(output)), "the output folder")
        if dpi is not None:
            _check(_lib.quillet_set(service, _RESOLUTION, int(dpi)), "the resolution")
        if fit is not None:
            _check(_lib.quillet_set(service, _PAGE_WIDTH, int(fit[0])), "the page width")
            _check(_lib.quillet_set(service, _PAGE_HEIGHT, int(fit[1])), "the page height")
        if time_limit is not None:
            _check(_lib.quillet_set(service, _TIME_LIMIT, int(time_limit)), "the time limit")
        _check(_lib.quillet_set(service, _FIRST_PAGE, first), "the first page")
        _check(_lib.quillet_set(service, _LAST_PAGE, last), "the last page")
        if page_list is not None:
            _check(_lib.quillet_set_text(service, _PAGE_LIST, page_list.encode()), "the page list")
        code = _lib.quillet_start(service)
        if code != _OK:
            raise _failure(service, code)
        started = True
        page = _CPage()
        while True:
            code = _lib.quillet_next_page(service, _WAIT_MS, ctypes.byref(page))
            if code == _TIMEOUT:
                continue
            if code == _END:
                started = False
                return
            if code != _OK:
                started = False
                raise _failure(service, code)
            yield Page(page.number, os.fsdecode(page.path), page.width or None, page.height or None,
                       page.orientation)
    finally:
        if started:
            _lib.quillet_stop(service)
        _lib.quillet_release(service)
