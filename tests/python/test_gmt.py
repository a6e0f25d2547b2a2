"""The GMT file as run_gsea_py reads it, seen through the results."""
import os

import pytest

from tarvelopy import run_gsea_py

RANKS = {g: float(s) for s, g in enumerate("ABCDEFGHIJ")}


def sizes(path, **kwargs):
    res = run_gsea_py(RANKS, path, mode="simple", nperm=10, seed=1, **kwargs)
    return {r["pathway"]: r["size"] for r in res}


def test_crlf_and_blank_lines_read_like_plain_lines(write_gmt):
    text = "P1\td\tA\tB\tC\n\n \t \nP2\t\tD\tE\n"
    assert sizes(write_gmt(text.replace("\n", "\r\n"))) == sizes(write_gmt(text)) == {
        "P1": 3,
        "P2": 2,
    }


def test_gene_fields_trimmed_by_white_space_only(write_gmt):
    # U+3000, U+0085 and U+00A0 are White_Space and trimmed; U+001C-U+001F are
    # not, although str.strip() would remove them, so "\x1cC" matches no gene.
    path = write_gmt("P\td\t\u3000A\u0085\t \xa0B\t\x1cC\tD\x1f\t\t E \n")
    assert sizes(path) == {"P": 3}


def test_names_are_kept_as_they_stand(write_gmt):
    path = write_gmt("\ufeff P1 \td\tA\tB\nP2\t\tA\tB\t\nP3\tno genes\t\n")
    assert sizes(path) == {"\ufeff P1 ": 2, "P2": 2}


@pytest.mark.parametrize(
    "content, message",
    [
        (" \t\nP\tdescription only\n", "Malformed GMT line 2: expected at least 3 tab-separated columns."),
        ("P1\td\tA\r\n\r\nP2\r\n", "Malformed GMT line 3: expected at least 3 tab-separated columns."),
        (b"P1\td\tA\nP2\td\t\xe9\nP3\n", "stream did not contain valid UTF-8"),
        (b"P1\td\tA\xed\xa0\x80\n", "stream did not contain valid UTF-8"),  # a surrogate
    ],
)
def test_malformed_files(write_gmt, content, message):
    with pytest.raises(OSError) as info:
        sizes(write_gmt(content))
    assert str(info.value) == message


def test_unreadable_paths(tmp_path):
    for path, errno in [(tmp_path, 21), (tmp_path / "missing.gmt", 2)]:
        with pytest.raises(OSError) as info:
            sizes(str(path))
        assert str(info.value) == f"{os.strerror(errno)} (os error {errno})"


def test_empty_file_gives_no_results(write_gmt):
    assert run_gsea_py(RANKS, write_gmt("")) == []
