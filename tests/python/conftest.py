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
