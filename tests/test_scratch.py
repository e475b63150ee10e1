"""Scratch directories of killed writers are removed; those of live ones are kept."""

import os

import pytest

from quotaris.scratch import remove_abandoned, scratch_directory

fcntl = pytest.importorskip("fcntl")
PREFIX = ".demo-v1-"


def test_scratch_is_removed_on_leaving_and_after_a_kill(tmp_path):
    with pytest.raises(RuntimeError), scratch_directory(tmp_path, PREFIX) as scratch:
        (scratch / "half").write_text("x")
        raise RuntimeError("interrupted")
    assert os.listdir(tmp_path) == []
    # What a killed writer leaves: its directory, maybe its lock file, maybe only the lock.
    (tmp_path / f"{PREFIX}aaaa").mkdir()
    (tmp_path / f"{PREFIX}aaaa" / "tables").write_text("x")
    (tmp_path / f"{PREFIX}bbbb").mkdir()
    (tmp_path / f"{PREFIX}bbbb.lock").write_bytes(b"")
    (tmp_path / f"{PREFIX}cccc.lock").write_bytes(b"")
    kept = ["demo-v1", "demo-v1.lock", ".demo-v2-dddd", f"{PREFIX}not_ours"]
    for name in kept:
        (tmp_path / name).mkdir()
    with scratch_directory(tmp_path, PREFIX) as scratch:
        assert sorted(os.listdir(tmp_path)) == sorted([*kept, scratch.name, f"{scratch.name}.lock"])
    assert sorted(os.listdir(tmp_path)) == sorted(kept)


def test_a_live_writers_scratch_is_kept(tmp_path):
    with scratch_directory(tmp_path, PREFIX) as scratch:
        assert remove_abandoned(tmp_path, PREFIX) == []
        assert scratch.is_dir()


@pytest.mark.parametrize("longer", ["market.v2", "market.0123456789abcdef0123456789abcdef"])
def test_a_writer_of_a_longer_name_keeps_its_scratch(tmp_path, longer):
    # ".market.v2.<token>.partial" starts with ".market." too: it is not market's.
    with scratch_directory(tmp_path, f".{longer}.", ".partial") as scratch:
        assert remove_abandoned(tmp_path, ".market.") == []
        assert (
            scratch.is_dir()
            and (tmp_path / f"{scratch.name.removesuffix('.partial')}.lock").exists()
        )
