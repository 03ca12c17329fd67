"""One driver run's context (the target, its programs, packaged installers,
how programs are started) and the registry through Wine's reg.exe."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from driver.support import (
    Failure,
    MACHINE_VARIABLE,
    MORVEX,
    PACKAGE,
    PROBE_ENVIRONMENT,
    PendingRun,
    REPO,
    Report,
    Spawned,
    check,
    fnv1a64,
    win_path,
)


class Context:
    """One driver run: the target, its programs and a private folder under /tmp."""

    def __init__(self, arch, build_dir, kit=None):
        self.arch = arch
        self.build_dir = os.path.abspath(build_dir)
        self.runner = os.path.join(REPO, "tools", f"run-{arch}")
        helpers = os.path.join(self.build_dir, "helpers")
        self.probe = os.path.join(helpers, "setup_probe.exe")
        self.exit_code_runner = os.path.join(helpers, "exit_code_runner.exe")
        self.decoy = os.path.join(helpers, "decoy.dll")
        self.kit = os.path.abspath(kit or os.path.join(self.build_dir, "kit"))
        for needed in (self.probe, self.exit_code_runner, self.decoy,
                       os.path.join(self.kit, "kit.json")):
            if not os.path.exists(needed):
                raise SystemExit(f"scenarios: {needed} is missing; build the helpers and the kit")
        self.root = tempfile.mkdtemp(prefix=f"brivel-scenarios-{arch}-", dir="/tmp")
        self.control = os.path.join(self.root, "control")
        os.makedirs(self.control)
        self.counter = 0
        # An archive whose size is not a multiple of anything in particular.
        self.archive = os.path.join(self.root, "payload", "brivel.7z")
        os.makedirs(os.path.dirname(self.archive))
        data = bytes((i * 7919 + (i >> 5) * 31) & 0xFF for i in range(70001))
        with open(self.archive, "wb") as f:
            f.write(data)
        self.archive_size = len(data)
        self.archive_fnv = fnv1a64(data)
        self.packaged = {}
        self.registry = Registry(self)

    def unique(self, stem):
        self.counter += 1
        return os.path.join(self.control, f"{stem}-{self.counter}")

    def environment(self, extra=None):
        """The caller's environment without anything that steers the probe or the installer."""
        env = {k: v for k, v in os.environ.items()
               if k.upper() not in PROBE_ENVIRONMENT and k.upper() != MACHINE_VARIABLE.upper()}
        env.update(extra or {})
        return env

    def spawn(self, args, env=None, cwd=None):
        """Starts a Windows program (or Wine builtin) under this target's Wine.

        Its output goes to files, not pipes: a Wine server or service that a
        command happens to start keeps that command's pipes open long after
        the command ended."""
        out = open(self.unique("stdout"), "w+b")
        err = open(self.unique("stderr"), "w+b")
        process = subprocess.Popen([self.runner] + list(args), env=env or self.environment(),
                                   cwd=cwd or self.control, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=err)
        return Spawned(process, out, err)

    def wine(self, args, env=None, cwd=None):
        """Runs a Windows program to its end: (status, stdout, stderr)."""
        return self.spawn(args, env, cwd).finish()

    def installer(self, kind="plain"):
        """A packaged installer of one kind, linked once per driver run.

        plain: setup and archive; compressed: setup as a cabinet; no-setup and
        no-archive: layouts the installer rejects; not-a-program: a text file
        as setup, which is written out and cannot be started. Other kinds are
        made by packaged()."""
        if kind in self.packaged:
            return self.packaged[kind]
        if kind == "plain":
            args = ["--setup", self.probe, "--archive", self.archive]
        elif kind == "compressed":
            args = ["--setup", self.probe, "--compress-setup", "--archive", self.archive]
        elif kind == "no-setup":
            args = ["--archive", self.archive, "--unchecked"]
        elif kind == "no-archive":
            args = ["--setup", self.probe, "--unchecked"]
        elif kind == "not-a-program":
            text = os.path.join(self.root, "payload", "not-a-program.txt")
            with open(text, "w") as f:
                f.write("This text stands where setup's program should be.\r\n")
            args = ["--setup", text, "--archive", self.archive]
        else:
            raise ValueError(kind)
        return self.packaged_with(kind, args)

    def packaged_with(self, kind, package_args):
        """Links an installer from tools/package arguments once per driver
        run, under the name kind; returns its path."""
        if kind not in self.packaged:
            out = os.path.join(self.root, "packaged", f"{kind}.exe")
            args = [sys.executable, PACKAGE, "--arch", self.arch, "--kit", self.kit,
                    "--output", out, *package_args]
            done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if done.returncode != 0:
                output = done.stdout.decode(errors="replace")
                raise Failure(f"tools/package {kind} failed: {output}")
            self.packaged[kind] = out
        return self.packaged[kind]

    def place(self, folder, name, kind="plain"):
        """Copies an installer of a kind into folder under name; returns its path."""
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        shutil.copyfile(self.installer(kind), path)
        return path

    def start(self, installer, arguments="", command_line=None, env=None, cwd=None,
              wait_file=None):
        """Starts an installer through the exit-code runner; returns a PendingRun.

        The command line is the installer's quoted path plus arguments unless
        command_line gives it whole."""
        if command_line is None:
            command_line = f'"{win_path(installer)}"{arguments}'
        command_file = self.unique("command") + ".txt"
        with open(command_file, "w", encoding="utf-8", newline="") as f:
            f.write(command_line)
        report_path = self.unique("report") + ".txt"
        extra = {"BRIVEL_PROBE_REPORT": win_path(report_path)}
        if wait_file:
            extra["BRIVEL_PROBE_WAIT_FILE"] = win_path(wait_file)
        extra.update(env or {})
        spawned = self.spawn([self.exit_code_runner, win_path(installer), win_path(command_file)],
                             env=self.environment(extra), cwd=cwd)
        return PendingRun(spawned, report_path)

    def run(self, installer, arguments="", **kwargs):
        return self.start(installer, arguments, **kwargs).wait()

    def run_direct(self, installer, env=None):
        """Starts an installer straight from Linux (no CreateProcessW, which
        refuses a program path of 260 characters or more); only the low 8 bits
        of its exit code are visible."""
        report_path = self.unique("report") + ".txt"
        extra = {"BRIVEL_PROBE_REPORT": win_path(report_path)}
        extra.update(env or {})
        status, _, stderr = self.wine([installer], env=self.environment(extra))
        report = None
        if os.path.exists(report_path):
            with open(report_path, encoding="utf-8") as f:
                report = Report(f.read())
        return status, report, stderr

    def close(self):
        self.registry.restore()
        shutil.rmtree(self.root, ignore_errors=True)


class Registry:
    """The client-state keys through Wine's reg.exe, always in the 32-bit view.

    On first use the "Software\\Morvex" subtrees of both roots are exported
    and deleted; restore() deletes them again and imports what was saved."""

    ROOTS = ("HKCU", "HKLM")
    LONG_ROOT = {"HKCU": "HKEY_CURRENT_USER", "HKLM": "HKEY_LOCAL_MACHINE"}

    def __init__(self, context):
        self.context = context
        self.saved = None  # root -> export file or None

    # Wine's reg.exe now and then fails a call for no reason of the
    # registry's when the machine is busy; "not found" is an answer, any
    # other failure is asked again.
    NOT_FOUND = "Unable to find the specified registry key"
    ATTEMPTS = 3

    def reg(self, *args):
        for attempt in range(1, self.ATTEMPTS + 1):
            status, stdout, stderr = self.context.wine(["reg", *args, "/reg:32"])
            if status == 0 or self.NOT_FOUND in stdout + stderr or attempt == self.ATTEMPTS:
                return status, stdout, stderr
            print(f"NOTE reg {' '.join(args[:2])} failed with {status} ({stderr.strip()!r}); "
                  "asking again", flush=True)

    def clear(self):
        """Saves and empties both subtrees (once per driver run)."""
        if self.saved is not None:
            return
        self.saved = {}
        for root in self.ROOTS:
            export = self.context.unique(f"saved-{root}") + ".reg"
            status, _, _ = self.reg("export", f"{root}\\{MORVEX}", win_path(export), "/y")
            self.saved[root] = export if status == 0 else None
            if self.saved[root]:
                self.delete(root, MORVEX)

    def restore(self):
        if self.saved is None:
            return
        for root in self.ROOTS:
            self.delete(root, MORVEX)
            if self.saved.get(root):
                status, _, _ = self.reg("import", win_path(self.saved[root]))
                if status != 0:
                    print(f"WARNING: could not put back {root}\\{MORVEX} from {self.saved[root]}")
        self.saved = None

    def delete(self, root, path):
        self.reg("delete", f"{root}\\{path}", "/f")

    def set_values(self, keys):
        """Creates keys with values in one import: {(root, path): {name: value}},
        an int making a REG_DWORD and a str a REG_SZ."""
        lines = ["Windows Registry Editor Version 5.00", ""]
        for (root, path), values in keys.items():
            lines.append(f"[{self.LONG_ROOT[root]}\\{path}]")
            for name, value in values.items():
                if isinstance(value, str):
                    lines.append(f'"{name}"="{value}"')
                else:
                    lines.append(f'"{name}"=dword:{value:08x}')
            lines.append("")
        file = self.context.unique("set") + ".reg"
        with open(file, "w", encoding="utf-8", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        status, _, stderr = self.reg("import", win_path(file))
        check(status == 0, f"reg import failed: {stderr}")

    def values(self, root, path):
        """The key's values as {name: int or str}, or None when the key is missing."""
        status, stdout, _ = self.reg("query", f"{root}\\{path}")
        if status != 0:
            return None
        values = {}
        for line in stdout.splitlines():
            match = re.match(r"^    (.+?)    (REG_[A-Z_]+)    ?(.*)$", line)
            if not match:
                continue
            name, kind, data = match.groups()
            if name == "(Default)":
                continue
            values[name] = int(data, 16) if kind == "REG_DWORD" else data
        return values

    def subkeys(self, root, path):
        """The names of the key's subkeys, sorted, or None when the key is missing."""
        status, stdout, _ = self.reg("query", f"{root}\\{path}")
        if status != 0:
            return None
        prefix = f"{self.LONG_ROOT[root]}\\{path}\\".lower()
        return sorted(line[len(prefix):] for line in stdout.splitlines()
                      if line.lower().startswith(prefix))
