"""The examples, the type stubs and the installed package."""

import ast
import csv
import os
import pathlib
import shlex
import shutil
import subprocess
import sys

import pytest

import morvane_uvc_stereo as m
from morvane_uvc_stereo import _core

HERE = pathlib.Path(__file__).resolve().parent
EXAMPLES = HERE.parent / "examples"
PACKAGE_DIR = pathlib.Path(m.__file__).resolve().parent
# The interpreter running these tests, as a command another process can start
# (under user-mode emulation it is QEMU with the target's interpreter).
PYTHON = shlex.split(os.environ.get("MORVANE_TEST_PYTHON", "")) or [sys.executable]


def run_example(name, *args, cwd):
    path = [str(PACKAGE_DIR.parent)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    done = subprocess.run([*PYTHON, str(EXAMPLES / name), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_examples_against_the_simulated_camera(tmp_path):
    listing = run_example("list_cameras.py", "--simulate", cwd=tmp_path)
    assert listing.startswith("1 camera(s)\n") and "serial=SIM0001" in listing and "CAP_V4L2=" in listing

    calibration = run_example("read_calibration.py", "--simulate", cwd=tmp_path)
    assert "left.camera_matrix (3, 3)" in calibration and "extrinsics.rotation (3, 3)" in calibration
    assert "baseline 50.02 mm" in calibration

    state = tmp_path / "state.flash"
    summary = run_example("record_imu.py", "--simulate", str(state), "--output", "imu.csv", cwd=tmp_path)
    with open(tmp_path / "imu.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    times = [int(r["time_ns"]) for r in rows]
    assert abs(len(rows) - 2000) <= 1, summary  # 10 s at the camera's 200 Hz
    assert times == sorted(times) and times[-1] - times[0] < 10_000_000_000
    assert [int(r["sequence"]) for r in rows] == list(range(len(rows)))
    assert f"{len(rows)} samples in 10 s" in summary and state.stat().st_size == 1 << 20

    capture = run_example("opencv_capture.py", "--simulate", cwd=tmp_path)
    assert capture.startswith("skipped: OpenCV") or "cv2.VideoCapture(0, cv2.CAP_V4L2)" in capture
    # Nothing else left (the lock file stays: removing it would race a waiting user).
    assert sorted(p.name for p in tmp_path.iterdir()) == ["imu.csv", "state.flash", "state.flash.lock"]


def test_stub_lists_every_binding():
    tree = ast.parse((PACKAGE_DIR / "_core.pyi").read_text())
    stubbed = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            stubbed[node.name] = {n.name if isinstance(n, ast.FunctionDef) else n.target.id
                                  for n in node.body if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
        elif isinstance(node, ast.FunctionDef):
            stubbed[node.name] = None
        elif isinstance(node, ast.AnnAssign):
            stubbed[node.target.id] = None
    runtime = {name for name in dir(_core) if not name.startswith("__")}
    assert runtime - set(stubbed) == set(), "bindings missing from _core.pyi"
    assert set(stubbed) - runtime - {"_Bytes", "_Text"} == set(), "stubs of names that do not exist"
    for name, members in stubbed.items():
        if members is None:
            continue
        cls = getattr(_core, name)
        public = {a for a in dir(cls) if not a.startswith("_") or a in ("__enter__", "__exit__", "__next__")}
        public -= {a for a in dir(object)}
        assert public - members == set(), f"{name}: members missing from the stub"
        assert {a for a in members if not a.startswith("__")} - set(dir(cls)) == set(), name


def test_installed_package_imports_from_a_staging_prefix(tmp_path):
    build = os.environ.get("MORVANE_BUILD_DIR")
    if not build:
        pytest.skip("MORVANE_BUILD_DIR (the build directory to install from) is not set")
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not on PATH")
    prefix = tmp_path / "prefix"
    for component in ("runtime", "python"):
        subprocess.run([cmake, "--install", build, "--prefix", str(prefix), "--component", component],
                       check=True, capture_output=True, timeout=300)
    site = prefix / "lib" / "python3" / "dist-packages"
    assert (site / "morvane_uvc_stereo" / "_core.pyi").is_file() and (site / "morvane_uvc_stereo" / "py.typed").is_file()
    probe = (
        "import morvane_uvc_stereo as m\n"
        "with m.simulated_camera():\n"
        "    info, = m.scan_devices()\n"
        "    with m.open_device(info) as dev:\n"
        "        assert dev.read_json().json.startswith('{')\n"
        "import sys; assert 'numpy' not in sys.modules, 'importing the package imported numpy'\n"
        "maps = open('/proc/self/maps').read()\n"
        "libs = {l.split()[-1] for l in maps.splitlines() if 'libmorvane_uvc_stereo' in l}\n"
        "print(m.__file__)\n"
        "print('\\n'.join(sorted(libs)))\n")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    done = subprocess.run([*PYTHON, "-c", probe], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.split()
    assert lines[0].startswith(str(site))
    assert len(lines) >= 3 and all(l.startswith(str(prefix)) for l in lines[1:]), lines


def test_state_file_is_shared_with_the_tool(tmp_path):
    build = os.environ.get("MORVANE_BUILD_DIR")
    tool = pathlib.Path(build or "", "tools", "morvane-uvc-stereo")
    if not build or not tool.is_file():
        pytest.skip("the command-line tool is not built here (MORVANE_BUILD_DIR/tools/morvane-uvc-stereo)")
    if os.environ.get("MORVANE_UNDER_QEMU_USER"):
        pytest.skip("the target's tool cannot be started from an emulated process")
    state = tmp_path / "shared.flash"
    document = tmp_path / "doc.json"
    document.write_text('{ "written_by": "tool" }\n')
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path / "cache"))
    subprocess.run([str(tool), "--simulate", str(state), "config", "set", str(document)], check=True,
                   capture_output=True, env=env, timeout=120)
    with m.simulated_camera(state):
        info, = m.scan_devices()
        with m.open_device(info) as dev:
            assert dev.read_json().json == '{"written_by":"tool"}'
            dev.write_json('{"written_by": "python"}')
    got = subprocess.run([str(tool), "--simulate", str(state), "config", "get"], check=True, capture_output=True,
                         text=True, env=env, timeout=120)
    assert got.stdout.strip() == '{"written_by":"python"}'
