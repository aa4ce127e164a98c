"""A real `morvex app` server on a temporary root, and Debian's Chromium driven by Playwright.

The root holds a synthetic sequence with a known field (frame k stretches x by
0.01 k / (frames - 1)), a mask image and a load file, all written here.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import time

import numpy as np
import pytest
from playwright.sync_api import expect

# The machine is shared with builds: give the page time, the tests never time anything.
expect.set_options(timeout=20_000)
CHROMIUM = pathlib.Path("/usr/bin/chromium")
FRAMES = 4
SHAPE = (200, 240)  # rows, cols
EXX_FINAL = 0.01


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if "browser" in item.fixturenames or "server" in item.fixturenames:
            item.add_marker(pytest.mark.app)


def write_sequence(folder: pathlib.Path, frames: int, shape: tuple[int, int]) -> None:
    import tifffile

    import morvex

    folder.mkdir(parents=True, exist_ok=True)
    sequence = morvex.synthetic_sequence(frames=frames, shape=shape, exx_final=EXX_FINAL)
    for k, image in enumerate(sequence.frames):
        tifffile.imwrite(folder / f"img_{k:03d}.tif", np.clip(np.round(image), 0, 255).astype(
            np.uint8))


@pytest.fixture
def root(tmp_path: pathlib.Path) -> pathlib.Path:
    from PIL import Image

    project = tmp_path / "project"
    write_sequence(project / "frames", FRAMES, SHAPE)
    mask = np.zeros(SHAPE, dtype=np.uint8)
    mask[20:180, 30:210] = 255
    Image.fromarray(mask).save(project / "mask.png")
    (project / "load.csv").write_text("frame,load_N\n" + "".join(
        f"{k},{100.0 * k}\n" for k in range(FRAMES)))
    (tmp_path / "secret.tif").write_bytes(b"outside the root")
    os.symlink(tmp_path / "secret.tif", project / "escape.tif")
    return project


class Server:
    """`morvex app --port 0 --no-browser` in its own process; `url` carries the token."""

    def __init__(self, root: pathlib.Path) -> None:
        self.root = root
        self.process: subprocess.Popen[str] | None = None
        self.url = ""

    def start(self) -> Server:
        env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
        self.process = subprocess.Popen(
            [sys.executable, "-m", "morvex", "app", "--root", str(self.root), "--port", "0",
             "--no-browser"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            env=env)
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        assert line.startswith("morvex app: http://127.0.0.1:"), line
        self.url = line.split()[-1]
        self._wait_ready()
        return self

    def _wait_ready(self) -> None:
        import urllib.request

        # The link answers with a redirect that sets the cookie: follow it with a cookie jar.
        opener = urllib.request.build_opener(urllib.request.HTTPCookieProcessor())
        deadline = time.monotonic() + 30
        while True:
            try:
                with opener.open(self.url, timeout=2):
                    return
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)

    @property
    def base(self) -> str:
        return self.url.split("/?", 1)[0]

    @property
    def token(self) -> str:
        return self.url.split("token=", 1)[1]

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None and self.process.stdout is not None:
            self.process.stdout.close()


@pytest.fixture
def server(root: pathlib.Path):
    running = Server(root).start()
    yield running
    running.stop()


@pytest.fixture(scope="session")
def chromium():
    if not CHROMIUM.exists():
        pytest.skip("Debian's chromium is not installed (scripts/setup.sh installs it)")
    from playwright.sync_api import sync_playwright

    with sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=str(CHROMIUM),
                                             args=["--no-sandbox"])
        yield browser
        browser.close()


@pytest.fixture
def browser(chromium, server):
    context = chromium.new_context(viewport={"width": 1500, "height": 1000},
                                   accept_downloads=True)
    page = context.new_page()
    page.set_default_timeout(20_000)
    page.goto(server.url)
    page.get_by_test_id("open-project").wait_for()
    yield page
    context.close()
