"""The C interface itself, through ctypes: arguments it refuses, options, taking pages by number."""

import ctypes
import os
import re

import quillet

lib = quillet._lib
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "data")
OK, END, TIMEOUT, ARGUMENT, RUN = 0, 1, 2, -1, -3
Service = ctypes.c_void_p
for name, result, arguments in [
    ("quillet_create_from_parameters", ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(Service)]),
    ("quillet_get", ctypes.c_int, [Service, ctypes.c_int, ctypes.POINTER(ctypes.c_int64)]),
    ("quillet_take_page", ctypes.c_int, [Service, ctypes.c_int32, ctypes.POINTER(quillet._CPage)]),
    ("quillet_page_count", ctypes.c_int32, [Service]),
    ("quillet_confinement", ctypes.c_int32, [ctypes.c_char_p, ctypes.c_size_t]),
]:
    getattr(lib, name).restype = result
    getattr(lib, name).argtypes = arguments


def service_for(path):
    service = Service()
    assert lib.quillet_create(os.fsencode(path), ctypes.byref(service)) == OK
    return service


def test_refusals_without_a_crash():
    service = Service()
    page = quillet._CPage()
    buffer = ctypes.create_string_buffer(b"x", 8)
    assert lib.quillet_create(b"", ctypes.byref(service)) == ARGUMENT and not service
    assert lib.quillet_create(b'/a "b.ps', ctypes.byref(service)) == ARGUMENT
    assert lib.quillet_create_from_parameters(b"", ctypes.byref(service)) == ARGUMENT
    assert lib.quillet_set(None, 5, 72) == ARGUMENT
    assert lib.quillet_start(None) == ARGUMENT
    assert lib.quillet_next_page(None, 0, ctypes.byref(page)) == ARGUMENT
    assert lib.quillet_page_count(None) == -1
    assert lib.quillet_failure(None, 0, buffer, 8) == 0 and buffer.value == b""
    lib.quillet_release(None)


def test_options_keep_their_values_and_refuse_others(tmp_path):
    service = service_for(os.path.join(DATA, "sample.ps"))
    values = {2: 9, 3: 640, 4: 480, 5: 72, 6: 1, 7: 1, 8: 1, 9: 5, 10: 1 << 40, 11: 1 << 31, 12: 3,
              13: 10 ** 12, 14: 2, 15: 4, 21: 1, 22: 90}
    got = ctypes.c_int64()
    for option, value in values.items():
        assert lib.quillet_set(service, option, value) == OK, option
        assert lib.quillet_get(service, option, ctypes.byref(got)) == OK and got.value == value, option
    for option, value in [(2, 12), (2, -1), (5, 1 << 40), (22, 101), (1, 0), (99, 1)]:
        assert lib.quillet_set(service, option, value) == ARGUMENT, (option, value)
    for option in (1, 16, 17, 18, 19, 20):
        assert lib.quillet_set_text(service, option, str(tmp_path).encode()) == OK, option
    assert lib.quillet_set_text(service, 2, b"9") == ARGUMENT
    assert lib.quillet_set_text(service, 1, None) == ARGUMENT
    lib.quillet_release(service)


def test_pages_by_number_and_what_a_missing_page_means(tmp_path):
    page = quillet._CPage()
    sample = os.path.join(DATA, "sample.ps")
    cases = [  # a page list (option 23), then pages taken by number, then those quillet_next_page gives
        (sample, b"", [(3, OK), (7, OK), (8, END)], []),
        (str(tmp_path / "error.ps"), b"", [(1, OK), (2, RUN)], []),
        (sample, b"6-,2", [(2, OK), (4, END), (7, OK)], []),
        (sample, b"5,2-3", [], [2, 3, 5]),
    ]
    (tmp_path / "error.ps").write_text("%!PS\nshowpage\nnosuchoperator\n")
    for path, pages, takes, following in cases:
        service = service_for(path)
        lib.quillet_set_text(service, 1, str(tmp_path).encode())
        lib.quillet_set(service, 5, 10)
        assert lib.quillet_set_text(service, 23, pages) == OK
        assert lib.quillet_start(service) == OK
        for number, result in takes:
            assert lib.quillet_take_page(service, number, ctypes.byref(page)) == result, (path, number)
            if result == OK:
                assert page.number == number and os.path.exists(page.path)
        numbers = []
        while following and lib.quillet_next_page(service, -1, ctypes.byref(page)) == OK:
            numbers.append(page.number)
        assert numbers == following
        lib.quillet_release(service)


def test_a_bounded_wait_times_out_and_a_stop_ends_the_run(tmp_path):
    (tmp_path / "endless.ps").write_text("%!PS\nshowpage\n{} loop\n")
    service = service_for(tmp_path / "endless.ps")
    lib.quillet_set_text(service, 1, str(tmp_path).encode())
    page = quillet._CPage()
    assert lib.quillet_start(service) == OK
    assert lib.quillet_next_page(service, -1, ctypes.byref(page)) == OK and page.number == 1
    assert lib.quillet_next_page(service, 0, ctypes.byref(page)) == TIMEOUT
    assert lib.quillet_stop(service) == OK
    assert lib.quillet_next_page(service, -1, ctypes.byref(page)) == RUN
    lib.quillet_release(service)


def test_version_and_confinement():
    with open(os.path.join(HERE, "..", "..", "include", "quillet", "Version.h")) as header:
        assert re.search(r'QUILLET_VERSION_STRING "(.*)"', header.read()).group(1) == quillet.version()
    description = ctypes.create_string_buffer(256)
    assert 0 <= lib.quillet_confinement(description, 256) <= 3 and description.value.startswith(b"files: ")
