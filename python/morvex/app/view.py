"""The picture's view in the browser: fit, wheel zoom about the pointer, drag to pan, and the
shapes shown while the hand draws them.

All of it runs in the browser, so the picture follows the hand without a round trip; the
server hears only the result (a view to keep with the project, a shape finished, a polygon
corner moved). The zoom is the image's width in screen pixels, and the pan the scroll of the
box holding it: the picture's own mouse events keep reporting image pixels at any zoom.
"""

from __future__ import annotations

import json
import math
from typing import Any

from .._errors import MorvexError

# Zoom range, as screen pixels per image pixel, around the fitted scale: far enough out to see
# the whole frame small, far enough in to place a corner on one pixel of a 512 px frame.
MIN_SCALE, MAX_SCALE = 0.02, 64.0
# How near (screen px) a press must be to a polygon's corner to take hold of it.
CORNER_GRAB_PX = 8.0


def check_view(value: Any) -> dict[str, float] | None:
    """The view `value` as {"scale", "x", "y"} (screen px per image px; the image point at the
    box's centre), or None when it is not one (a project saved before views were kept)."""
    if not isinstance(value, dict):
        return None
    try:
        scale, x, y = (float(value[k]) for k in ("scale", "x", "y"))
    except (KeyError, TypeError, ValueError):
        return None
    if not (math.isfinite(x) and math.isfinite(y) and MIN_SCALE <= scale <= MAX_SCALE):
        return None
    return {"scale": scale, "x": x, "y": y}


def view_from_browser(value: Any) -> dict[str, float]:
    """A view the browser reported, checked; a bad one is refused naming it."""
    view = check_view(value)
    if view is None:
        raise MorvexError(f"view {value!r} is not a zoom between {MIN_SCALE} and {MAX_SCALE} "
                          "with a finite centre")
    return view


def attach_call(box_id: int, image_id: int, size: tuple[int, int],
                view: dict[str, float] | None) -> str:
    """The script that puts the picture of `size` (width, height) in its box at `view`, or
    fitted to the box when there is none."""
    return (f"mvView.attach('c{box_id}', 'c{image_id}', {int(size[0])}, {int(size[1])}, "
            f"{json.dumps(view)})")


def tool_call(box_id: int, tool: str, colour: str) -> str:
    """The script that tells the box which tool the hand holds (for its preview)."""
    return f"mvView.tool('c{box_id}', {json.dumps(tool)}, {json.dumps(colour)})"


SCRIPT = """
<script>
window.mvView = (() => {
  const views = {};
  const NS = 'http://www.w3.org/2000/svg';
  const clamp = (v, a, b) => Math.min(b, Math.max(a, v));
  const MIN = MIN_SCALE, MAX = MAX_SCALE, GRAB = GRAB_PX;
  function fitScale(s) {
    return Math.min(s.box.clientWidth / s.w, s.box.clientHeight / s.h);
  }
  function place(s, scale) {
    s.scale = clamp(scale, MIN, MAX);
    const img = document.getElementById(s.imageId);
    if (!img) return;
    img.style.width = (s.scale * s.w) + 'px';
    img.style.minWidth = img.style.width;
    s.box.dataset.scale = String(s.scale);
  }
  function centre(s) {
    const img = document.getElementById(s.imageId);
    const r = img.getBoundingClientRect(), b = s.box.getBoundingClientRect();
    return {x: (b.left + b.width / 2 - r.left) / s.scale,
            y: (b.top + b.height / 2 - r.top) / s.scale};
  }
  // Scroll so the image point (x, y) lies under the screen point (cx, cy).
  function anchor(s, x, y, cx, cy) {
    const img = document.getElementById(s.imageId);
    const r = img.getBoundingClientRect();
    s.box.scrollLeft += r.left + x * s.scale - cx;
    s.box.scrollTop += r.top + y * s.scale - cy;
  }
  function report(s) {
    clearTimeout(s.timer);
    s.timer = setTimeout(() => {
      const c = centre(s);
      s.box.dispatchEvent(new CustomEvent('mvview', {detail: {scale: s.scale, x: c.x, y: c.y}}));
    }, 300);
  }
  function imagePoint(s, e) {
    const r = document.getElementById(s.imageId).getBoundingClientRect();
    return [(e.clientX - r.left) / s.scale, (e.clientY - r.top) / s.scale];
  }
  function layer(s) {
    const img = document.getElementById(s.imageId);
    let svg = img.querySelector('svg.mv-preview');
    if (!svg) {
      svg = document.createElementNS(NS, 'svg');
      svg.setAttribute('class', 'mv-preview');
      svg.setAttribute('style', 'position:absolute;top:0;left:0;width:100%;height:100%;' +
                       'pointer-events:none');
      svg.setAttribute('preserveAspectRatio', 'none');
      img.appendChild(svg);
    }
    svg.setAttribute('viewBox', `0 0 ${s.w} ${s.h}`);
    return svg;
  }
  function drawPreview(s, end) {
    const svg = layer(s);
    const line = Math.max(1, Math.max(s.w, s.h) / 400);
    const style = `fill="${s.colour}" fill-opacity="0.15" stroke="${s.colour}" ` +
                  `stroke-width="${line}"`;
    let html = '';
    if (s.tool === 'polygon' && s.corners.length) {
      const pts = s.corners.concat(end ? [end] : []).map(p => p.join(',')).join(' ');
      html = `<polyline data-testid="preview" points="${pts}" ${style} fill="none"/>`;
    } else if (s.start && end) {
      const [xa, ya] = s.start, [xb, yb] = end;
      if (s.tool === 'rectangle' || s.tool === 'gauge') {
        html = `<rect data-testid="preview" x="${Math.min(xa, xb)}" y="${Math.min(ya, yb)}" ` +
               `width="${Math.abs(xb - xa)}" height="${Math.abs(yb - ya)}" ${style}/>`;
      } else if (s.tool === 'circle') {
        html = `<circle data-testid="preview" cx="${xa}" cy="${ya}" ` +
               `r="${Math.hypot(xb - xa, yb - ya)}" ${style}/>`;
      } else if (!['probe', 'pan', 'seed'].includes(s.tool)) {
        html = `<line data-testid="preview" x1="${xa}" y1="${ya}" x2="${xb}" y2="${yb}" ` +
               `stroke="${s.colour}" stroke-width="${line}"/>`;
      }
    }
    svg.innerHTML = html;
  }
  function clearPreview(s) {
    s.start = null;
    const img = document.getElementById(s.imageId);
    const svg = img && img.querySelector('svg.mv-preview');
    if (svg) svg.innerHTML = '';
  }
  function corner(s, e) {
    const img = document.getElementById(s.imageId);
    const [x, y] = imagePoint(s, e);
    for (const poly of img.querySelectorAll('polygon[data-shape]')) {
      const pts = poly.getAttribute('points').trim().split(/\\s+/)
        .map(p => p.split(',').map(Number));
      for (let k = 0; k < pts.length; k++) {
        if (Math.hypot(pts[k][0] - x, pts[k][1] - y) * s.scale <= GRAB) {
          return {poly, pts, shape: Number(poly.dataset.shape), corner: k};
        }
      }
    }
    return null;
  }
  function listen(s) {
    const box = s.box;
    box.addEventListener('wheel', (e) => {
      e.preventDefault();
      const [x, y] = imagePoint(s, e);
      place(s, s.scale * Math.exp(-e.deltaY * 0.0015));
      anchor(s, x, y, e.clientX, e.clientY);
      report(s);
    }, {passive: false});
    // Capturing on the box, ahead of the picture: a pan or a corner's drag is the box's own,
    // and the picture (which tells the server about presses) never hears of it.
    box.addEventListener('mousedown', (e) => {
      if (s.tool === 'pan' || e.button === 1 || e.shiftKey) {
        e.stopPropagation(); e.preventDefault();
        s.pan = {x: e.clientX, y: e.clientY};
        return;
      }
      if (e.button !== 0) return;
      if (s.tool === 'polygon') {
        const held = corner(s, e);
        if (held) { e.stopPropagation(); e.preventDefault(); s.held = held; return; }
        s.corners.push(imagePoint(s, e));
        drawPreview(s, null);
        return;
      }
      s.start = imagePoint(s, e);
    }, true);
    window.addEventListener('mousemove', (e) => {
      if (s.pan) {
        box.scrollLeft -= e.clientX - s.pan.x; box.scrollTop -= e.clientY - s.pan.y;
        s.pan = {x: e.clientX, y: e.clientY};
      } else if (s.held) {
        s.held.pts[s.held.corner] = imagePoint(s, e);
        s.held.poly.setAttribute('points', s.held.pts.map(p => p.join(',')).join(' '));
      } else if (s.start || (s.tool === 'polygon' && s.corners.length)) {
        if (box.contains(e.target) || s.start) drawPreview(s, imagePoint(s, e));
      }
    });
    window.addEventListener('mouseup', (e) => {
      if (s.pan) { s.pan = null; report(s); e.stopPropagation(); return; }
      if (s.held) {
        const [x, y] = imagePoint(s, e), held = s.held;
        s.held = null;
        box.dispatchEvent(new CustomEvent('mvcorner', {detail: {
          shape: held.shape, corner: held.corner, x: x, y: y}}));
        e.stopPropagation();
        return;
      }
      // The shape stays drawn until the server's picture holds it (see the observer).
      if (s.start) s.start = null;
    }, true);
  }
  return {
    attach(boxId, imageId, w, h, view) {
      const box = document.getElementById(boxId);
      if (!box || !document.getElementById(imageId)) {
        setTimeout(() => this.attach(boxId, imageId, w, h, view), 50);
        return;
      }
      let s = views[boxId];
      if (!s || s.box !== box) {
        s = views[boxId] = {box, imageId, tool: 'probe', colour: '#00e676', corners: [],
                            start: null, pan: null, held: null, scale: 1, w, h};
        listen(s);
        // A new picture from the server holds what the hand drew: the preview goes.
        new MutationObserver(() => { if (!s.start) clearPreview(s); }).observe(
          document.getElementById(imageId).querySelector(':scope > svg > g:last-of-type'),
          {childList: true, subtree: true});
      }
      Object.assign(s, {imageId, w, h, corners: []});
      clearPreview(s);
      if (view) {
        place(s, view.scale);
        const b = box.getBoundingClientRect();
        anchor(s, view.x, view.y, b.left + b.width / 2, b.top + b.height / 2);
      } else {
        this.fit(boxId);
      }
      report(s);
    },
    fit(boxId) {
      const s = views[boxId];
      if (!s) return;
      place(s, fitScale(s));
      s.box.scrollLeft = 0; s.box.scrollTop = 0;
      report(s);
    },
    tool(boxId, tool, colour) {
      const s = views[boxId];
      if (!s) return;
      s.tool = tool; s.colour = colour; s.corners = [];
      clearPreview(s);
      s.box.style.cursor = tool === 'pan' ? 'grab' : '';
    },
    corners(boxId) {
      const s = views[boxId];
      if (s) { s.corners = []; clearPreview(s); }
    },
  };
})();
</script>
""".replace("MIN_SCALE", str(MIN_SCALE)).replace("MAX_SCALE", str(MAX_SCALE)).replace(
    "GRAB_PX", str(CORNER_GRAB_PX))
