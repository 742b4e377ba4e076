"""Reading data files fast must not change what they read: the byte checks, the strings and the
file reading itself, each against an independent oracle."""
import os
import random
import threading

import pytest

from korvane.faultlore import SemanticError
from korvane.oplparse import parse_data, parse_files


def first_invalid_byte(data: bytes):
    """(line, byte) of the first byte outside comments that is not part of valid UTF-8, or None.

    Comments (// to the end of the line, /* to the next */, so /*/ is still open) may hold any
    bytes; strings end at a quote or at the end of the line, and a backslash in one takes the
    next character with it."""
    at, i = "code", 0
    while i < len(data):
        two = data[i : i + 2]
        if at == "code" and two == b"//":
            at = "line"
        elif at == "code" and two == b"/*":
            at, i = "block", i + 2
            continue
        elif at == "line" and data[i] == 0x0A:
            at = "code"
        elif at == "block" and two == b"*/":
            at, i = "code", i + 2
            continue
        elif at == "code" and data[i] == 0x22:
            at = "string"
        elif at == "string" and data[i] in (0x22, 0x0A):
            at = "code"
        elif at == "string" and data[i] == 0x5C:
            i += 1
        if i >= len(data):
            break
        n = next((k for k in (1, 2, 3, 4) if _decodes(data[i : i + k])), 0)
        if n == 0 and at in ("code", "string"):
            return data.count(b"\n", 0, i) + 1, data[i]
        i += n or 1
    return None


def _decodes(chunk: bytes) -> bool:
    try:
        return len(chunk.decode("utf-8")) == 1
    except UnicodeDecodeError:
        return False


PIECES = [b"//", b"/*", b"*/", b"*", b"/", b'"', b"\\", b"\n", b" ", b"a = 1;", b"x", b"\x00", b"\xe9",
          "é".encode(), "€".encode(), "𝄞".encode(), b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80",
          b"\xe2\x82", b"abcdefghij", b"0123456789012345"]


def test_invalid_bytes_are_found_where_a_byte_by_byte_reading_finds_them(tmp_path):
    rng = random.Random(20)
    model = tmp_path / "m.mod"
    model.write_text("dvar int x;\nminimize x;\n")
    path = tmp_path / "d.dat"
    found = 0
    for _ in range(1500):
        data = b"".join(rng.choice(PIECES) for _ in range(rng.randint(0, 40)))
        path.write_bytes(data)
        expected = first_invalid_byte(data)
        try:
            parse_files(model, path)
            message = None
        except SemanticError as e:
            message = e
        if expected is None:
            assert message is None or not message.message.startswith("Invalid byte"), data
        else:
            found += 1
            line, byte = expected
            assert message is not None and message.message.startswith(f"Invalid byte 0x{byte:02X} (not UTF-8)"), data
            assert message.lineno == line, data
    assert found > 300


def test_strings_read_as_python_reads_them_however_often_they_repeat():
    rng = random.Random(7)
    texts = ["".join(rng.choice("abAB_9") for _ in range(rng.randint(0, 12))) for _ in range(300)]
    words = sorted({"w" + t for t in texts})
    texts += ["x" * 40, "é", "tab\\tbed", 'quo\\"te']
    picks = [rng.choice(texts) for _ in range(3000)]
    body = ", ".join(f'<"{a}", "{b}">' for a, b in zip(picks[::2], picks[1::2]))
    data = parse_data(f"pairs = [{body}];\nwords = {{{', '.join(words)}}};\n")
    unescape = {"tab\\tbed": "tab\tbed", 'quo\\"te': 'quo"te'}
    assert data["pairs"] == [[unescape.get(a, a), unescape.get(b, b)] for a, b in zip(picks[::2], picks[1::2])]
    assert all(type(p) is list and all(type(s) is str for s in p) for p in data["pairs"])
    assert data["words"] == words


def test_files_read_whole_through_pipes_and_at_every_size(tmp_path):
    model = tmp_path / "m.mod"
    model.write_text("dvar int x;\nminimize x;\n")
    for size in (0, 1, 4095, 4096, 65537, 300_000):
        values = ", ".join(str(i % 97) for i in range(size // 4))
        text = f"v = [{values}];\n".encode()
        path = tmp_path / f"d{size}.dat"
        path.write_bytes(text)
        assert parse_files(model, path)[1]["v"] == [i % 97 for i in range(size // 4)]
    fifo = tmp_path / "fifo.dat"
    os.mkfifo(fifo)
    text = ("v = [" + ", ".join(str(i) for i in range(100_000)) + "];\n").encode()

    def write():
        with open(fifo, "wb") as out:
            for k in range(0, len(text), 4000):
                out.write(text[k : k + 4000])

    writer = threading.Thread(target=write)
    writer.start()
    try:
        assert parse_files(model, fifo)[1]["v"] == list(range(100_000))
    finally:
        writer.join()
    with pytest.raises(IsADirectoryError):
        parse_files(model, tmp_path)


def test_files_read_from_several_threads_at_once(tmp_path):
    # Reading a file lets other threads run, so parses overlap and end in any order; the memory
    # they leave behind must stay usable by everything that runs after them.
    model = tmp_path / "m.mod"
    model.write_text("dvar int x;\nminimize x;\n")
    paths = []
    for k in range(4):
        path = tmp_path / f"d{k}.dat"
        path.write_text(f"v = [{', '.join(str(i * 0.5 + k) for i in range(60_000 + k * 7_000))}];\n")
        paths.append(path)
    results, errors = {}, []

    def work(k):
        try:
            for _ in range(3):
                results[k] = parse_files(model, paths[k])[1]["v"]
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for k in range(4):
        assert results[k] == [i * 0.5 + k for i in range(60_000 + k * 7_000)]
    churn = [[float(i)] * 3 for i in range(300_000)]
    assert sum(len(row) for row in churn) == 900_000
