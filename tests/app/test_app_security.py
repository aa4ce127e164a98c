"""The token on every request, and every path confined to the root."""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from email.message import Message

import pytest
from playwright.sync_api import expect

from .helpers import open_project, run_to


@pytest.mark.parametrize("path", ["/", "/morvex/image/x.png", "/_nicegui_ws/socket.io/?EIO=4"
                                  "&transport=polling", "/?token=wrong"])
def test_http_without_the_token_is_refused(server, path: str) -> None:
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(server.base + path, timeout=5)
    assert refused.value.code == 403
    refused.value.close()


def test_websocket_without_the_token_is_refused(server) -> None:
    import websockets

    address = (server.base.replace("http", "ws")
               + "/_nicegui_ws/socket.io/?EIO=4&transport=websocket")

    async def connect(url: str) -> str:
        try:
            async with websockets.connect(url):
                return "open"
        except websockets.exceptions.InvalidStatus as error:
            return str(error.response.status_code)

    def attempt(url: str) -> str:
        # On a thread of its own: the browser fixture's event loop may run on this one.
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            return pool.submit(asyncio.run, connect(url)).result(30)

    assert attempt(address) == "403"
    assert attempt(address + "&token=" + server.token) == "open"


@pytest.mark.parametrize("reference, message", [
    ("../secret.tif", "climbs out with '..'"),
    ("/etc/hostname", "is absolute"),
    ("escape.tif", "leads outside the project folder"),
    ("frames/missing.tif", "does not exist"),
])
def test_a_path_outside_the_root_is_refused(browser, reference: str, message: str) -> None:
    open_project(browser, reference=reference, frames="frames")
    expect(browser.get_by_test_id("error-message")).to_contain_text(message)
    expect(browser.get_by_test_id("open-project")).to_be_visible()  # the page lives on


def test_a_mask_outside_the_root_is_refused(browser) -> None:
    open_project(browser)
    browser.get_by_test_id("mask-path").fill("../secret.tif")
    browser.get_by_test_id("mask-load").click()
    expect(browser.get_by_test_id("error-message")).to_contain_text("climbs out")


# --- links: what a folder lists, what an export writes through -----------------------------

def test_a_link_inside_the_frames_folder_is_refused(browser, root) -> None:
    os.symlink(root.parent / "secret.tif", root / "frames" / "img_009.tif")
    open_project(browser)
    expect(browser.get_by_test_id("error-message")).to_contain_text(
        "frame 'frames/img_009.tif' leads outside the project folder")


def test_an_export_link_leading_outside_is_refused(browser, root) -> None:
    open_project(browser)
    run_to(browser)
    away = root.parent / "away"
    away.mkdir()
    os.symlink(away, root / "results_export")
    for kind in ("netcdf", "vtk"):
        browser.get_by_test_id(f"export-{kind}").click()
        expect(browser.get_by_test_id("error-message")).to_contain_text(
            "export folder 'results_export' leads outside the project folder")
    assert not any(away.iterdir())


def test_a_huge_mask_is_refused_by_its_header(browser, root) -> None:
    from .test_app_units import _png_header

    (root / "huge.png").write_bytes(_png_header(16000, 16000))  # 16000 x 16000 px, 57 bytes
    open_project(browser)
    browser.get_by_test_id("mask-path").fill("huge.png")
    browser.get_by_test_id("mask-load").click()
    expect(browser.get_by_test_id("error-message")).to_contain_text(
        "mask image huge.png is 16000 x 16000 px (rows x cols); a mask must be the reference "
        "image's size, 200 x 240 px")


# --- the token: origin, command line, address bar, log, cookie name -------------------------

class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args: object, **kwargs: object) -> None:
        return None


def _status(url: str, headers: dict[str, str] | None = None) -> tuple[int, Message]:
    """(status, headers: names in any case) of a GET that follows no redirect."""
    opener = urllib.request.build_opener(_NoRedirect())
    try:
        with opener.open(urllib.request.Request(url, headers=headers or {}), timeout=10) as reply:
            return reply.status, reply.headers
    except urllib.error.HTTPError as error:
        error.close()
        return error.code, error.headers


def _output_after_stop(server) -> str:
    server.process.terminate()
    return server.process.stdout.read()


def test_a_page_from_another_local_port_is_refused(browser, server) -> None:
    import http.server
    import threading

    class OtherApp(http.server.BaseHTTPRequestHandler):
        def do_GET(self) -> None:
            self.send_response(200)
            self.send_header("content-type", "text/html")
            self.end_headers()
            self.wfile.write(b"<html><body>another local server</body></html>")

        def log_message(self, *args: object) -> None:
            pass

    other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), OtherApp)
    thread = threading.Thread(target=other.serve_forever, daemon=True)
    thread.start()
    try:
        # Same browser, so it holds the cookie; another port, so the same site.
        page = browser.context.new_page()
        page.goto(f"http://127.0.0.1:{other.server_address[1]}/")
        result = page.evaluate("""async (target) => {
            const out = {};
            try {
                const r = await fetch(target + "/_nicegui_ws/socket.io/?EIO=4&transport=polling",
                                      {credentials: "include"});
                out.polling = r.status + " " + (await r.text()).slice(0, 12);
            } catch (error) { out.polling = "blocked"; }
            out.websocket = await new Promise((done) => {
                const ws = new WebSocket(target.replace("http", "ws")
                                         + "/_nicegui_ws/socket.io/?EIO=4&transport=websocket");
                ws.onopen = () => { ws.close(); done("open"); };
                ws.onerror = () => done("refused");
            });
            return out;
        }""", server.base)
        page.close()
    finally:
        other.shutdown()
        other.server_close()
        thread.join(10)
    assert result == {"polling": "blocked", "websocket": "refused"}
    port = server.base.rsplit(":", 1)[1]
    status, headers = _status(server.base + "/_nicegui_ws/socket.io/?EIO=4&transport=polling",
                              {"Cookie": f"morvex_token_{port}={server.token}",
                               "Origin": "http://127.0.0.1:1"})
    assert status == 403 and "Access-Control-Allow-Origin" not in headers


def _launch(root, tmp_path, browser_script: bool) -> tuple[subprocess.Popen[str], str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTEST_CURRENT_TEST"}
    arguments = [sys.executable, "-m", "morvex", "app", "--root", str(root), "--port", "0"]
    if browser_script:
        # Python's browser launcher runs $BROWSER with the URL: this one writes it down.
        script = tmp_path / "browser.sh"
        script.write_text(f'#!/bin/sh\nprintf "%s" "$1" > "{tmp_path}/opened.tmp"\n'
                          f'mv "{tmp_path}/opened.tmp" "{tmp_path}/opened"\n')
        script.chmod(0o700)
        env["BROWSER"] = str(script)
    else:
        arguments.append("--no-browser")
    process = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True, env=env)
    return process, process.stdout.readline()  # type: ignore[union-attr]


def _end(process: subprocess.Popen[str]) -> None:
    process.terminate()
    process.wait(20)
    process.stdout.close()  # type: ignore[union-attr]


def test_the_link_is_printed_only_once_the_server_accepts(root, tmp_path) -> None:
    process, line = _launch(root, tmp_path, browser_script=False)
    try:
        assert line.startswith("morvex app: http://127.0.0.1:"), line
        port = int(line.split(":")[3].split("/")[0])
        with socket.create_connection(("127.0.0.1", port), timeout=10):
            pass  # no retry: the line is the promise that this succeeds
    finally:
        _end(process)


def test_the_browser_is_opened_without_the_token(root, tmp_path) -> None:
    process, line = _launch(root, tmp_path, browser_script=True)
    try:
        token = line.split("token=", 1)[1].strip()
        opened = tmp_path / "opened"
        deadline = time.monotonic() + 30  # a bound on a hang, not a measurement
        while not opened.exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        url = opened.read_text()
        assert token not in url and "/?code=" in url
        status, headers = _status(url)
        assert (status, headers["Location"]) == (303, "/")
        assert f"={token};" in headers["Set-Cookie"]
        assert _status(url)[0] == 403  # the code opens the page once only
    finally:
        _end(process)


def test_a_non_ascii_token_answers_403_without_a_traceback(server) -> None:
    port = server.base.rsplit(":", 1)[1]
    for path, headers in [("/?token=%C3%A9", {}), ("/?token=%FF", {}),
                          ("/", {"Cookie": f"morvex_token_{port}=\u00e9"})]:
        assert _status(server.base + path, headers)[0] == 403
    assert "Traceback" not in _output_after_stop(server)


def test_the_token_stays_out_of_the_address_bar_and_the_log(browser, server) -> None:
    assert "token" not in browser.url
    port = server.base.rsplit(":", 1)[1]
    assert [c["name"] for c in browser.context.cookies()] == [f"morvex_token_{port}"]
    status, _ = _status(server.base + "/nowhere?token=" + server.token,
                        {"Cookie": f"morvex_token_{port}={server.token}"})
    assert status == 303
    missing = _status(server.base + "/nowhere?x=1", {
        "Cookie": f"morvex_token_{port}={server.token}"})[0]
    output = _output_after_stop(server)
    assert missing == 404 and "/nowhere" in output  # the line that used to show the token
    assert server.token not in output  # (the printed link was read before)


def test_two_instances_in_one_browser_keep_their_own_cookies(chromium, root) -> None:
    from .conftest import Server

    first, second = Server(root).start(), Server(root).start()
    context = chromium.new_context()
    try:
        page = context.new_page()
        page.goto(first.url)
        page.get_by_test_id("open-project").wait_for()
        other = context.new_page()
        other.goto(second.url)
        other.get_by_test_id("open-project").wait_for()
        page.reload()
        page.get_by_test_id("open-project").wait_for()  # not locked out by the second
        assert len({c["name"] for c in context.cookies()}) == 2
    finally:
        context.close()
        first.stop()
        second.stop()
