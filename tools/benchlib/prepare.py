"""What the measurements need: packages, builds, the Wine prefix, payloads
and installers."""
import json
import os
import shutil
import subprocess

from .common import (MIB, OUT_DIR, REPO, SERVER_LINGER_S, X64_PREFIX, BenchError,
                     run_quietly)


def ensure_packages(names):
    """The build's and signing's packages (tools/lib/packages.sh) and `names`."""
    run_quietly(["bash", "-c", '. "$0/tools/lib/packages.sh"; ensure_packages "${BUILD_PACKAGES[@]}" "$@"'
                 ' && ensure_signing_packages',
                 REPO, *names], "installing packages")


def build(arch):
    build_dir = os.path.join(REPO, "build", arch)
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
        run_quietly(["cmake", "--preset", arch], f"configuring {arch}", cwd=REPO)
    run_quietly(["cmake", "--build", build_dir, "--target", "kit", "bench", "-j", "2"],
                f"building the {arch} kit and benchmark programs", cwd=REPO)


def prepare_x64_prefix():
    """The x64 runs use a Wine prefix of their own, with a wine server of
    their own: the project's shared server also serves every test that runs
    meanwhile, and a measured run would queue behind their requests. The
    server lingers SERVER_LINGER_S after the last run and then ends by
    itself. (The ARM64 runs use the shared ARM64 environment: setting up a
    second one inside its root file system is not worth the minutes.)"""
    env = dict(os.environ, WINEPREFIX=X64_PREFIX, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    ready = os.path.join(X64_PREFIX, ".bench-ready")
    if not os.path.exists(ready):
        shutil.rmtree(X64_PREFIX, ignore_errors=True)
        os.makedirs(X64_PREFIX)
        log_path = os.path.join(OUT_DIR, "wine-x64-init.log")
        with open(log_path, "w") as f:
            for command in (["wine", "wineboot.exe", "-i"], ["wineserver", "-w"]):
                if subprocess.run(command, env=env, stdout=f, stderr=f, stdin=subprocess.DEVNULL,
                                  start_new_session=True).returncode != 0:
                    raise BenchError(f"creating the Wine prefix {X64_PREFIX} failed (see {log_path})")
        open(ready, "w").close()
    # Detached, with no descriptor of ours: a server holding our output pipe
    # would keep callers waiting.
    subprocess.run(["wineserver", f"-p{SERVER_LINGER_S}"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, start_new_session=True)


def write_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = min(left, 8 * MIB)
            f.write(os.urandom(piece))
            left -= piece


def padded_setup(program, path, size):
    """The setup program followed by random bytes up to `size`: the loader
    maps only the image, so the padding is carried but never read."""
    shutil.copyfile(program, path)
    padding = size - os.path.getsize(path)
    if padding < 0:
        raise BenchError(f"{program} is larger than {size} bytes")
    with open(path, "ab") as f:
        while padding > 0:
            piece = min(padding, 8 * MIB)
            f.write(os.urandom(piece))
            padding -= piece


def package(arch, output, setup, archive, kit=None):
    # The kit is named even when it is the build's own, so that packaging
    # does not rebuild it (others may be changing the tree meanwhile): every
    # installer of a run is linked from the kit built at its start.
    kit = kit or os.path.join(REPO, "build", arch, "kit")
    command = [os.path.join(REPO, "tools", "package"), "--arch", arch, "--output", output,
               "--setup", setup, "--archive", archive, "--kit", kit]
    run_quietly(command, f"packaging {os.path.basename(output)}")


def make_bare_kit(kit, bare):
    """A copy of the kit whose resource script is empty: the installer
    without its manifest, version record and icon."""
    shutil.copytree(kit, bare)
    with open(os.path.join(bare, "resources", "installer.rc"), "w"):
        pass
    with open(os.path.join(bare, "kit.json")) as f:
        description = json.load(f)
    description["resources"] = os.path.join(bare, "resources")
    with open(os.path.join(bare, "kit.json"), "w") as f:
        json.dump(description, f)
