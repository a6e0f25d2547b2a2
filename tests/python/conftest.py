import struct
import zlib

import pytest


@pytest.fixture
def write_gmt(tmp_path):
    """Writes GMT text (str or bytes) to a fresh file and returns its path as str."""
    count = 0

    def write(content):
        nonlocal count
        count += 1
        path = tmp_path / f"sets{count}.gmt"
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return str(path)

    return write


@pytest.fixture
def ranks():
    """Twenty genes G00..G19 with distinct scores from 10 down to -9."""
    return {f"G{i:02d}": 10.0 - i for i in range(20)}


@pytest.fixture
def gmt(write_gmt):
    """Three pathways over the `ranks` genes."""
    return write_gmt(
        "UP\tgenes at the top\tG00\tG01\tG02\tG03\tG05\n"
        "DOWN\t\tG19\tG18\tG17\tG15\n"
        "MIXED\tx\tG00\tG07\tG11\tG19\tG04\tG13\n"
    )


def canonical(results):
    """Results as comparable tuples (NaN compares equal to NaN through repr)."""
    return [tuple((k, repr(r[k])) for k in sorted(r)) for r in results]


def check_failure(call, tmp_path, exc, message):
    """call() raises exactly `exc` with `message` and leaves tmp_path empty.
    Returns the exception for further checks."""
    with pytest.raises(exc) as e:
        call()
    assert type(e.value) is exc
    assert str(e.value) == message
    assert list(tmp_path.iterdir()) == []
    return e.value


# PNG files read back with zlib (no imaging library needed).


def read_png(path):
    """Returns (chunk types, IHDR fields, pHYs fields or None, rows of RGBA bytes)."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    pos, types, idat, phys = 8, [], b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        body = data[pos + 8 : pos + 8 + length]
        assert zlib.crc32(kind + body) == struct.unpack(">I", data[pos + 8 + length : pos + 12 + length])[0]
        types.append(kind.decode())
        if kind == b"IHDR":
            ihdr = struct.unpack(">IIBBBBB", body)
        elif kind == b"pHYs":
            phys = struct.unpack(">IIB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = ihdr
    assert (depth, colour, interlace) == (8, 6, 0)
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, prev, p = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[p], bytearray(raw[p + 1 : p + 1 + stride])
        p += 1 + stride
        for x in range(stride):
            a = line[x - 4] if x >= 4 else 0
            up = prev[x]
            c = prev[x - 4] if x >= 4 else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + up) // 2) & 255
            elif kind == 4:
                pa, pb, pc = abs(up - c), abs(a - c), abs(a + up - 2 * c)
                pred = a if pa <= pb and pa <= pc else (up if pb <= pc else c)
                line[x] = (line[x] + pred) & 255
        rows.append(bytes(line))
        prev = line
    return types, ihdr, phys, rows


def pixel(rows, x, y):
    return tuple(rows[y][4 * x : 4 * x + 4])


def header(path):
    """Chunk list, size and pHYs without decoding the pixels."""
    data = open(path, "rb").read()
    pos, types, phys = 8, [], None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos : pos + 4])
        kind = data[pos + 4 : pos + 8]
        if kind == b"IHDR":
            size = struct.unpack(">II", data[pos + 8 : pos + 16])
        if kind == b"pHYs":
            phys = struct.unpack(">IIB", data[pos + 8 : pos + 17])
        types.append(kind.decode())
        pos += 12 + length
    return types, size, phys
