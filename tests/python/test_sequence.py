"""correlate_sequence on whole sequences as users save them: 8-bit files, incremental runs."""

import numpy as np
import tifffile

import morvex
from morvex import _guided

SIZE = 256
FRAMES = 6
HALF = 14  # px: half the default subset of 29 px
# px: a subset this close to the reference's border meets, in every later frame, the band the
# deformation leaves uncovered (grey level 0); there even a fixed-reference pair is 0.03 px off.
EDGE = 4
# px: twice the largest interior error of one 8-bit pair here (0.011 px, rms 0.005 px);
# five increments add up, as a fixed reference would not.
TOLERANCE = 0.02


def _true_field(k, x, y):
    """Frame k's displacement at reference position (x, y): deform_image's affine map."""
    return 2.5 * k + 0.001 * k * x, -1.5 * k + 0.001 * k * y


def test_incremental_frame_keeps_every_row(tmp_path):
    # Once the grid row below the top one came back "not converged" in frames 2 to 4: the
    # increment's top row, whose subset leaves the frame, took its neighbours with it.
    reference = _guided.generate_speckle(SIZE, SIZE, 3, 0.5, 11)
    paths = []
    for k in range(FRAMES):
        frame = _guided.deform_image(reference, 2.5 * k, -1.5 * k, 0.001 * k, 0, 0, 0.001 * k)
        paths.append(tmp_path / f"frame_{k}.tif")
        tifffile.imwrite(paths[-1], np.clip(np.round(frame), 0, 255).astype(np.uint8))
    ds = morvex.correlate_sequence([str(p) for p in paths], incremental=True, progress=False)
    x, y = np.meshgrid(ds["x"].values, ds["y"].values)
    away_from_border = ((x - HALF >= EDGE) & (x + HALF <= SIZE - 1 - EDGE)
                        & (y - HALF >= EDGE) & (y + HALF <= SIZE - 1 - EDGE))
    for k in range(FRAMES):
        frame = ds.isel(frame=k)
        true_u, true_v = _true_field(k, x, y)
        # The subset's corners moved by the field, within the frame as the solver demands.
        corners_in = np.ones_like(away_from_border)
        for dx in (-HALF, HALF):
            for dy in (-HALF, HALF):
                cu, cv = _true_field(k, x + dx, y + dy)
                corners_in &= ((x + dx + cu >= -0.5) & (x + dx + cu <= SIZE - 0.5)
                               & (y + dy + cv >= -0.5) & (y + dy + cv <= SIZE - 0.5))
        kept = away_from_border & corners_in
        lost = kept & (frame["valid"].values == 0)
        assert not lost.any(), (f"frame {k}: points not valid at rows {np.nonzero(lost)[0]}, "
                                f"columns {np.nonzero(lost)[1]}, statuses "
                                f"{frame['status'].values[lost]}")
        np.testing.assert_allclose(frame["u"].values[kept], true_u[kept], rtol=0, atol=TOLERANCE)
        np.testing.assert_allclose(frame["v"].values[kept], true_v[kept], rtol=0, atol=TOLERANCE)
        # The grid row next to the top edge is among them in every moved frame.
        assert k == 0 or kept[1, 1:31].all()
