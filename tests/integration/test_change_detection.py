"""A change of the data file's path, however it is made, shows on the very
next request: the worker's inotify watches, and the status checked on every
request where notifications cannot be had."""

import json
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from vantorell_harness import cond, experiment, group
from vantorell_nginx import DataFile
from vantorell_observe import SHOW, shown

NOTICE = "vantorell: "


# What a request shows (its outcome on the status page, $vantorell_experiments)
# when the file cannot be read, and when experiment eid, without variations,
# targets it.
MISSING = ({"data_error": 1}, None)


def targeted(eid):
    return ({"reference": 1}, "%d=0" % eid)


def seen(nginx):
    r = nginx.request("/page")
    return r.counted, shown(r, "experiments")


# the same size, so that only the contents differ
TEXTS = [json.dumps([experiment(eid, [group(cond(""))])]) for eid in (1, 2)]
assert len(TEXTS[0]) == len(TEXTS[1])


def put(path, text):
    Path(path).write_text(text)
    os.chmod(path, 0o644)


def put_by_rename(path, text):
    put(str(path) + ".tmp", text)
    os.replace(str(path) + ".tmp", path)


def rewrite_in_place(d, text, step):
    with open(d / "data.json", "r+") as f:
        f.truncate(0)
        f.write(text)


def delete_and_create(d, text, step):
    os.unlink(d / "data.json")
    put(d / "data.json", text)


def chmod_away_and_back(d, text, step):
    # odd steps take reading away, even ones give it back: the contents stay
    os.chmod(d / "data.json", 0 if step % 2 else 0o644)
    return MISSING if step % 2 else targeted(1)


def link_set_up(d, text):
    put(d / "a0.json", text)
    os.symlink(d / "a0.json", d / "link.json")


def link_repointed(d, text, step):
    put(d / ("a%d.json" % step), text)
    os.symlink(d / ("a%d.json" % step), d / "link.tmp")
    os.replace(d / "link.tmp", d / "link.json")


def data_link_set_up(d, text):
    # a mounted configuration volume: data.json -> ..data/data.json,
    # ..data -> ..v0, the versions in folders of their own
    for version in ("..v0", "..v1"):
        (d / version).mkdir()
        os.chmod(d / version, 0o755)
    put(d / "..v0" / "data.json", text)
    os.symlink("..v0", d / "..data")
    os.symlink("..data/data.json", d / "data.json")


def data_link_swapped(d, text, step):
    version = "..v%d" % (step % 2)
    put(d / version / "data.json", text)
    os.symlink(version, d / "..data_tmp")
    os.replace(d / "..data_tmp", d / "..data")


def folder_set_up(d, text):
    (d / "sub").mkdir()
    os.chmod(d / "sub", 0o755)
    put(d / "sub" / "data.json", text)


def folder_replaced(d, text, step):
    os.rename(d / "sub", d / ("old%d" % step))
    folder_set_up(d, text)


def churn_then_rename(d, text, step):
    for i in range(300):
        other = d / ("other%d" % (i % 7))
        other.write_text(str(step * i))
        if i % 3 == 0:
            other.unlink()
    put_by_rename(d / "data.json", text)


def plain_set_up(d, text):
    put(d / "data.json", text)


# name: (the configured path, set up, change); a change returns what the next
# request shows when it is not the new contents' experiment
CHANGES = {
    "in-place-same-size": ("data.json", plain_set_up, rewrite_in_place),
    "renamed-over": ("data.json", plain_set_up,
                     lambda d, text, step: put_by_rename(d / "data.json", text)),
    "deleted-and-created": ("data.json", plain_set_up, delete_and_create),
    "chmod-away-and-back": ("data.json", plain_set_up, chmod_away_and_back),
    "symlink-repointed": ("link.json", link_set_up, link_repointed),
    "data-link-swapped": ("data.json", data_link_set_up, data_link_swapped),
    "folder-replaced": ("sub/data.json", folder_set_up, folder_replaced),
    "unrelated-churn": ("data.json", plain_set_up, churn_then_rename),
}


@pytest.fixture
def folder():
    """A folder of the test's own that the workers may read, in /tmp beside
    everything else that changes there."""
    d = Path(tempfile.mkdtemp(prefix="vantorell-watch-", dir="/tmp"))
    os.chmod(d, 0o755)
    yield d
    shutil.rmtree(d, ignore_errors=True)


def start_on(nginx, folder, name):
    path, set_up, change = CHANGES[name]
    set_up(folder, TEXTS[0])
    nginx.data = DataFile(folder / path)
    if os.geteuid() == 0:
        nginx.user = "nobody nogroup"      # so that mode 0 means unreadable
    nginx.counting = True
    nginx.start(nginx.server(directives="        vantorell_module on;\n" + SHOW))
    return change


def follow_changes(nginx, folder, change):
    assert seen(nginx) == targeted(1)
    for step in range(1, 5):
        expected = change(folder, TEXTS[step % 2], step) or targeted(2 if step % 2 else 1)
        for _ in range(2):
            assert seen(nginx) == expected, "step %d" % step


def notices(nginx):
    """The notices of how changes are learnt (not those of a usable data file
    after an unusable one, which chmod-away-and-back makes)."""
    return [line for line in nginx.log_text().splitlines()
            if "[notice]" in line and NOTICE in line and "vantorell: data file" not in line]


@pytest.mark.parametrize("name", list(CHANGES))
def test_every_change_shows_on_the_next_request(nginx, folder, name):
    change = start_on(nginx, folder, name)
    follow_changes(nginx, folder, change)
    assert notices(nginx) == []         # notifications were in force


# A failing inotify, for one nginx: a preloaded library whose inotify calls
# fail as the per-user limits make them fail.
SHIM = """
#include <errno.h>
#include <stdint.h>
#ifdef NO_INSTANCE
int inotify_init1(int flags) { (void) flags; errno = EMFILE; return -1; }
#else
int inotify_add_watch(int fd, const char *path, uint32_t mask)
{ (void) fd; (void) path; (void) mask; errno = ENOSPC; return -1; }
#endif
"""


@pytest.fixture(scope="session")
def failing_inotify(tmp_path_factory):
    d = tmp_path_factory.mktemp("inotify-shim")
    (d / "shim.c").write_text(SHIM)
    libs = {}
    for kind, define in (("instance", "-DNO_INSTANCE"), ("watch", "-DNO_WATCH")):
        lib = d / ("fail-%s.so" % kind)
        subprocess.run(["cc", "-shared", "-fPIC", "-O", define, "-o", str(lib), str(d / "shim.c")],
                       check=True, timeout=60)
        os.chmod(d, 0o755)
        libs[kind] = lib
    return libs


@pytest.mark.parametrize("kind, reason, error", [
    ("instance", "no inotify instance", "(24: Too many open files)"),
    ("watch", "an inotify watch on the data file's path could not be placed",
     "(28: No space left on device)"),
])
@pytest.mark.parametrize("name", ["in-place-same-size", "renamed-over", "data-link-swapped"])
def test_without_notifications_every_request_checks_the_file(nginx, folder, failing_inotify,
                                                             kind, reason, error, name):
    env = dict(os.environ, LD_PRELOAD=str(failing_inotify[kind]))
    # a sanitized nginx would otherwise refuse a library loaded before its runtime
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    nginx.env = env
    change = start_on(nginx, folder, name)
    follow_changes(nginx, folder, change)
    said = notices(nginx)
    assert len(said) == 1, said                     # once per worker
    assert "vantorell: %s: %s" % (nginx.data.path, reason) in said[0]
    assert error in said[0], said[0]                # what actually failed
