"""The token on every request, and every path confined to the root."""

from __future__ import annotations

import asyncio
import concurrent.futures
import urllib.error
import urllib.request

import pytest
from playwright.sync_api import expect

from .helpers import open_project


@pytest.mark.parametrize("path", ["/", "/morvex/image/x.png", "/_nicegui_ws/socket.io/?EIO=4"
                                  "&transport=polling", "/?token=wrong"])
def test_http_without_the_token_is_refused(server, path: str) -> None:
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(server.base + path, timeout=5)
    assert refused.value.code == 403


def test_websocket_without_the_token_is_refused(server) -> None:
    import websockets

    address = server.base.replace("http", "ws") + "/_nicegui_ws/socket.io/?EIO=4&transport=websocket"

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
