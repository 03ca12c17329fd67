"""What a build offers the conformance kit: <build>/conformance/contents.txt,
written by CMake (cmake/test_programs.cmake), names every test program with
its kind (gtest, native, crasher, runner) and every file or folder the
programs read; here each becomes a path relative to its build folder."""
import os
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class KitError(Exception):
    pass


class BuildContents:
    def __init__(self, arch, build_dir):
        self.arch = arch
        self.build_dir = os.path.realpath(build_dir)
        path = os.path.join(self.build_dir, "conformance", "contents.txt")
        if not os.path.isfile(path):
            raise KitError(f"{path} is missing: build the {arch} preset first "
                           f"(cmake --preset {arch} && cmake --build --preset {arch})")
        self.programs = []  # (kind, relative path)
        self.data = []      # relative paths of files and folders
        with open(path, encoding="utf-8") as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("program "):
                    kind, program = line[8:].split(" ", 1)
                    self.programs.append((kind, self.relative(program)))
                elif line.startswith("data "):
                    self.data.append(self.relative(line[5:]))

    def relative(self, path):
        real = os.path.realpath(path)
        if not os.path.exists(real):
            raise KitError(f"{path} is missing: the {self.arch} build is not complete")
        relative = os.path.relpath(real, self.build_dir)
        if relative.startswith(".."):
            raise KitError(f"{path} is outside the build folder {self.build_dir}")
        return relative.replace(os.sep, "/")

    def of_kind(self, kind):
        return [p for k, p in self.programs if k == kind]

    def files(self, relative):
        """The files at or under a relative path, relative to the build."""
        top = os.path.join(self.build_dir, relative)
        if os.path.isfile(top):
            return [relative]
        found = []
        for folder, _, names in os.walk(top):
            for name in names:
                found.append(os.path.relpath(os.path.join(folder, name), self.build_dir)
                             .replace(os.sep, "/"))
        return found


def list_tests(program):
    """The "Suite.Name" of every test of an x64 GoogleTest program, listed
    under tools/run-x64 as CTest's discovery does."""
    result = subprocess.run([os.path.join(REPO, "tools", "run-x64"), program,
                             "--gtest_list_tests"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True,
                            timeout=300)
    if result.returncode != 0:
        raise KitError(f"{program} --gtest_list_tests failed ({result.returncode}):\n"
                       f"{result.stderr[-2000:]}")
    names, suite = [], None
    for line in result.stdout.splitlines():
        line = line.rstrip("\r")
        if line.startswith("  "):
            name = line.strip().split("  #")[0].strip()
            if suite and name:
                names.append(suite + name)
        elif line.endswith(".") or ".  #" in line:
            suite = line.split("  #")[0].strip()
        else:
            suite = None
    return names
