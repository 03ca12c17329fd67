"""Robustness scenarios: concurrent runs, interrupted runs, links in the
work directory."""
import os
import re
import signal

from driver.support import (
    CLIENT_STATE,
    Failure,
    MORVEX,
    REMOVAL_ATTEMPT_LIMIT,
    SETUP_NAME,
    STABLE_GUID,
    SUCCESS_RECORD,
    WORK_DIR_PATTERN,
    check,
    check_equal,
    linux_path,
    listing,
    poll,
    win_path,
)
from driver.framework import check_only, check_setup_ran, scenario


CONCURRENT_RUNS = 8
# The stack guard's built-in value (base/stack_protection.cpp), which the
# entry point replaces with one drawn from the system's generator.
BUILT_IN_STACK_GUARD = 0x2B992DDFA232F6B1


def live_stack_guard(pid, installer):
    """The stack guard of the installer running as pid, read from its memory
    where the image file holds the built-in value: Wine maps the image's
    sections from the file (qemu too, for ARM64), so that place is in the
    writable mapping of the file that covers the value's offset."""
    with open(installer, "rb") as f:
        image = f.read()
    built_in = BUILT_IN_STACK_GUARD.to_bytes(8, "little")
    check_equal(1, image.count(built_in), "places of the built-in stack guard in the image")
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb") as memory:
        for fields in (line.split() for line in maps):
            low, high = (int(x, 16) for x in fields[0].split("-"))
            at = low + image.find(built_in) - int(fields[2], 16)
            if fields[4] == str(os.stat(installer).st_ino) and "w" in fields[1] and low <= at < high:
                memory.seek(at)
                return int.from_bytes(memory.read(8), "little")
    raise Failure(f"no writable mapping of the installer's stack guard in process {pid}")


@scenario("robustness")
def concurrent_runs(s):
    """Eight installers started at once from one installer file: all hold
    their own work directories at the same moment, none sees another's, all
    succeed and nothing is left. Each drew its own stack guard: neither half
    is the built-in value's, and no half is alike in two of them (a guard
    never stored, or drawn half, would show)."""
    c = s.context
    folder = os.path.join(s.dir, "together")
    installer = c.place(folder, "shared.exe")
    go = os.path.join(s.dir, "go")
    s.defer(lambda: open(go, "w").close())
    with s.case(f"{CONCURRENT_RUNS} runs at once"):
        runs = [c.start(installer, wait_file=go) for _ in range(CONCURRENT_RUNS)]
        try:
            # Every setup waits for the go file: all eight work directories
            # exist together before any run goes on.
            reports = [r.wait_report() for r in runs]
            present = [e for e in listing(folder) if re.fullmatch(WORK_DIR_PATTERN, e)]
            check_equal(CONCURRENT_RUNS, len(present),
                        f"work directories while the setups run ({present})")
            pids = processes_with(os.path.basename(installer),
                                  ("exit_code_runner", "--mini-installer-path"))
            guards = [live_stack_guard(pid, installer) for pid in pids]
            for half in (0xFFFFFFFF, 0xFFFFFFFF << 32):
                check_equal(CONCURRENT_RUNS, len({g & half for g in guards} - {
                    BUILT_IN_STACK_GUARD & half}), f"distinct drawn halves {half:X} of "
                    f"the stack guards {[f'{g:016X}' for g in guards]}")
        finally:
            open(go, "w").close()
            results = [r.wait() for r in runs]
        for result in results:
            check_equal(0, result.exit_code, f"exit code ({result.describe()})")
            check_setup_ran(c, result, installer)
        directories = {r.work_dir for r in reports}
        check_equal(CONCURRENT_RUNS, len(directories), "distinct work directories")
        check_only(folder, ["shared.exe"])


def processes_with(text, exclude=()):
    """Linux process ids whose command line holds text and none of exclude."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                line = f.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except OSError:
            continue
        if text in line and not any(x in line for x in exclude):
            found.append(int(entry))
    return found


@scenario("robustness")
def interrupted_run(s):
    """An installer ended while setup runs leaves its work directory; the
    next run from the same folder makes a new one and neither enters nor
    removes the old one."""
    c = s.context
    folder = os.path.join(s.dir, "interrupted")
    name = f"interrupted-{os.getpid()}-{c.arch}.exe"
    installer = c.place(folder, name)
    go = os.path.join(s.dir, "go")
    s.defer(lambda: open(go, "w").close())

    with s.case("installer ended while setup runs"):
        first = c.start(installer, wait_file=go)
        try:
            report = first.wait_report()
            # The installer's own process, not the runner that started it
            # (its arguments name the installer too) nor setup (its switches
            # do).
            pids = poll(lambda: processes_with(name, ("exit_code_runner", "--mini-installer-path")),
                        "the installer's process")
            check_equal(1, len(pids), f"installer processes {pids}")
            os.kill(pids[0], signal.SIGKILL)
            first.wait()
        finally:
            open(go, "w").close()
        old_dir = linux_path(report.work_dir)
        # Setup goes on to its end by itself; wait for it before looking.
        poll(lambda: not processes_with(os.path.basename(old_dir)), "setup to end")
        check_equal([SETUP_NAME], listing(old_dir), "the abandoned work directory")
        check_only(folder, [name, os.path.basename(old_dir),
                            os.path.join(os.path.basename(old_dir), SETUP_NAME)])

    with s.case("next run leaves the abandoned directory alone"):
        old_setup = os.path.join(old_dir, SETUP_NAME)
        before = os.stat(old_setup)
        before_dir = os.stat(old_dir)
        with open(old_setup, "rb") as f:
            old_bytes = f.read()
        result = c.run(installer)
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_setup_ran(c, result, installer)
        check(linux_path(result.report.work_dir) != old_dir,
              f"the second run used the abandoned directory {old_dir}")
        check_only(folder, [name, os.path.basename(old_dir),
                            os.path.join(os.path.basename(old_dir), SETUP_NAME)])
        after = os.stat(old_setup)
        check_equal((before.st_ino, before.st_size, before.st_mtime_ns),
                    (after.st_ino, after.st_size, after.st_mtime_ns), "the abandoned setup.exe")
        check_equal(before_dir.st_ino, os.stat(old_dir).st_ino, "the abandoned directory")
        with open(old_setup, "rb") as f:
            check(f.read() == old_bytes, "the abandoned setup.exe changed")


# Links that Windows calls make: mklink /d (CreateSymbolicLinkW) and
# mklink /j (a junction, FSCTL_SET_REPARSE_POINT).
WINDOWS_LINKS = {"symbolic link": "/d", "junction": "/j"}


def make_windows_link(c, kind, link, target):
    c.wine(["cmd", "/c", f'mklink {WINDOWS_LINKS[kind]} "{win_path(link)}" "{win_path(target)}"'])
    return os.path.lexists(link)


@scenario("robustness")
def links_in_work_directory(s):
    """A link that setup leaves in its work directory is never followed: its
    target and everything under it stay as they were."""
    c = s.context
    scratch = os.path.join(s.dir, "can-wine-link")
    os.makedirs(os.path.join(scratch, "target"))
    windows_links = {}
    for kind in WINDOWS_LINKS:
        if make_windows_link(c, kind, os.path.join(scratch, kind.replace(" ", "-")),
                             os.path.join(scratch, "target")):
            windows_links[kind] = f"windows {kind}".replace(" ", "-")
        else:
            s.skip(f"{kind} made by Windows calls",
                   "this Wine cannot make one (Wine 8: CreateSymbolicLinkW is a stub that "
                   "reports success and makes nothing, FSCTL_SET_REPARSE_POINT is not "
                   "implemented); links are planted as Unix symbolic links from Linux instead")
    # Wine resolves a Unix symbolic link when it opens it (its server keeps
    # the resolved name), so a delete-on-close through a link deletes the
    # target: a link at setup's own path, which the installer deletes, would
    # show Wine's behaviour, not the installer's. On Windows the deletion
    # opens the link itself (FILE_FLAG_OPEN_REPARSE_POINT).
    s.skip("link at setup's own path",
           "Wine follows a Unix symbolic link when it deletes one, whatever the open flags "
           "say, so a link in place of setup.exe cannot be shown to go without its target")

    # Links under other names: the installer removes only what it wrote, so
    # the links stay, and with them the work directory (the removal of a
    # directory that is not empty gives up after its last attempt, which the
    # success record shows).
    key = ("HKCU", CLIENT_STATE + STABLE_GUID)
    c.registry.clear()
    s.defer(lambda: c.registry.delete("HKCU", MORVEX))
    folder = os.path.join(s.dir, "links")
    installer = c.place(folder, "links.exe")
    target = os.path.join(s.dir, "target")
    os.makedirs(os.path.join(target, "inner"))
    for path, text in (("file.txt", "keep"), (os.path.join("inner", "deep.txt"), "keep too")):
        with open(os.path.join(target, path), "w") as f:
            f.write(text)
    target_before = snapshot(target)
    links = {"data": target, "notes.txt": os.path.join(target, "file.txt")}
    go = os.path.join(s.dir, "go")
    s.defer(lambda: open(go, "w").close())
    with s.case("links to a directory and a file beside setup"):
        c.registry.set_values({key: {"InstallerResult": 0}})
        run = c.start(installer, wait_file=go)
        try:
            work_dir = linux_path(run.wait_report().work_dir)
            for name, link_target in links.items():
                os.symlink(link_target, os.path.join(work_dir, name))
            for kind, name in windows_links.items():
                check(make_windows_link(c, kind, os.path.join(work_dir, name), target),
                      f"cannot make a {kind} in the work directory")
        finally:
            open(go, "w").close()
            result = run.wait()
        check_equal(0, result.exit_code, f"exit code ({result.describe()})")
        check_equal(target_before, snapshot(target), "the links' target")
        check_equal(sorted(list(links) + list(windows_links.values())),
                    sorted(os.listdir(work_dir)), "what is left of the work directory")
        for name, link_target in links.items():
            check_equal(link_target, os.readlink(os.path.join(work_dir, name)), f"link {name}")
        check_equal({"InstallerResult": 0,
                     "InstallerExtraCode1": SUCCESS_RECORD + REMOVAL_ATTEMPT_LIMIT - 1},
                    c.registry.values(*key), "client-state values")


def snapshot(folder):
    """Every entry below folder with its type and content."""
    state = {}
    for entry in listing(folder):
        path = os.path.join(folder, entry)
        if os.path.islink(path):
            state[entry] = ("link", os.readlink(path))
        elif os.path.isdir(path):
            state[entry] = ("dir",)
        else:
            with open(path, "rb") as f:
                state[entry] = ("file", f.read())
    return state
