"""The Python package over the build tree's library: pages as they come, failures, stops."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import quillet

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "data")
# One page, then a loop that never ends: the run waits for a page that never comes.
ENDLESS = "%!PS\nshowpage\n{} loop\n"


def children(name):
    """Pids of this process's children whose command is name."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                text = stat.read()
        except OSError:
            continue
        command = text[text.index("(") + 1:text.rindex(")")]
        parent = int(text[text.rindex(")") + 2:].split()[1])
        if parent == os.getpid() and command == name:
            found.append(int(entry))
    return found


def write(folder, name, text):
    path = folder / name
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize("document, dpi, count", [
    ("sample.ps", 20, 7),
    ("sample.pdf", 30, 2),
    ("sample.docx", 30, 1),
])
def test_every_page_in_order_with_its_size(tmp_path, document, dpi, count):
    pages = list(quillet.render(os.path.join(DATA, document), dpi=dpi, output=tmp_path))
    assert [page.number for page in pages] == list(range(1, count + 1))
    for page in pages:
        assert os.path.dirname(page.path) == str(tmp_path)
        assert page.orientation in (1, 2)
        assert page.image().size == (page.width, page.height)


def test_page_range_page_size_and_format(tmp_path):
    sample = os.path.join(DATA, "sample.ps")
    cases = [
        (dict(pages="2-3"), [2, 3]),
        (dict(pages=(6, None)), [6, 7]),
        (dict(pages=range(4, 5)), [4]),
        (dict(pages=5), [5]),
        (dict(pages="6-,1,3"), [1, 3, 6, 7]),
        (dict(pages=[5, (1, 2), range(3, 4), "7-"]), [1, 2, 3, 5, 7]),
        (dict(pages=range(1, 8, 3)), [1, 4, 7]),
    ]
    for options, numbers in cases:
        assert [page.number for page in quillet.render(sample, dpi=10, output=tmp_path, **options)] == numbers
    fitted = list(quillet.render(sample, fit=(120, 90), pages=1, format="jpeg", output=tmp_path))
    assert [(page.width, page.height, page.image().format) for page in fitted] == [(120, 90, "JPEG")]
    [postscript] = quillet.render(sample, format="ps", output=tmp_path)
    assert postscript.path.endswith(".ps") and postscript.width is None


def test_failures_carry_stage_and_reason(tmp_path):
    cases = [
        (str(tmp_path / "missing.ps"), {}, "start", "does not exist", ""),
        (write(tmp_path, "error.ps", "%!PS\nshowpage\nnosuchoperator\n"), {}, "render",
         "/undefined in nosuchoperator", "Error: /undefined"),
        (write(tmp_path, "endless.ps", ENDLESS), dict(time_limit=1), "render", "time limit of 1 s", ""),
        (os.path.join(DATA, "sample.pdf"), dict(pages=30), "render", "has no page 30", ""),
    ]
    for path, options, stage, reason, report in cases:
        with pytest.raises(quillet.Error) as caught:
            list(quillet.render(path, dpi=10, output=tmp_path, **options))
        error = caught.value
        assert (error.stage, reason in error.reason, report in error.report) == (stage, True, True), error
    for options in (dict(format="gif"), dict(pages=[0, 3]), dict(pages=[]), dict(pages="1,,3")):
        with pytest.raises(ValueError):
            list(quillet.render(os.path.join(DATA, "sample.ps"), **options))


def test_the_office_process_stays_warm_between_documents(tmp_path):
    docx = os.path.join(DATA, "sample.docx")
    list(quillet.render(docx, dpi=10, output=tmp_path))
    first = children("qvoffice")
    list(quillet.render(docx, dpi=10, output=tmp_path))
    assert first and children("qvoffice") == first


def test_leaving_the_loop_stops_the_run(tmp_path):
    pages = quillet.render(write(tmp_path, "endless.ps", ENDLESS), dpi=10, output=tmp_path)
    assert next(pages).number == 1
    assert children("gs")
    pages.close()
    assert children("gs") == []


def test_ctrl_c_stops_the_run(tmp_path):
    script = textwrap.dedent(f"""
        import os, sys
        sys.path[:0] = {sys.path!r}
        import quillet
        from test_render import children
        try:
            for page in quillet.render({write(tmp_path, "endless.ps", ENDLESS)!r}, dpi=10, output={str(tmp_path)!r}):
                print("page", page.number, flush=True)
        except KeyboardInterrupt:
            print("interrupted, renderers left:", len(children("gs")), flush=True)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__)] + sys.path))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline() == "page 1\n"
    child.send_signal(signal.SIGINT)
    assert child.stdout.read() == "interrupted, renderers left: 0\n"
    assert child.wait() == 0
