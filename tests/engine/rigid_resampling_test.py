"""The resampler against an independent one: scipy.ndimage.map_coordinates with the same
spline order and boundary rule ("mirror"), on oblique, anisotropic grids and random rigid
motions. The motion's affine is built here from its definition (engine/rigid_motion.h:
R = Rz Ry Rx about the world origin, then the translation), so the test also pins the
convention of the six parameters."""

import os
import subprocess
import tempfile
import unittest

import numpy as np
from scipy import ndimage

PROBE = os.environ["RESAMPLING_PROBE"]


def rotation(axis, angle):
    c, s = np.cos(angle), np.sin(angle)
    i, j = [(1, 2), (2, 0), (0, 1)][axis]
    r = np.eye(3)
    r[i, i], r[i, j], r[j, i], r[j, j] = c, -s, s, c
    return r


def motion_affine(parameters):
    m = np.eye(4)
    m[:3, :3] = rotation(2, parameters[5]) @ rotation(1, parameters[4]) @ rotation(0, parameters[3])
    m[:3, 3] = parameters[:3]
    return m


def oblique_grid(rng, sizes):
    """A voxel-to-world affine: anisotropic voxels, rotated about every axis, shifted."""
    turn = rotation(0, rng.uniform(-0.5, 0.5)) @ rotation(1, rng.uniform(-0.5, 0.5)) @ rotation(
        2, rng.uniform(-0.5, 0.5))
    a = np.eye(4)
    a[:3, :3] = turn @ np.diag(sizes)
    a[:3, 3] = rng.uniform(-30, 30, 3)
    return a


def smooth_volume(rng, shape):
    """A volume (z, y, x) with structure at every scale, so interpolation errors show."""
    noise = rng.standard_normal(shape)
    return (100 + 20 * ndimage.gaussian_filter(noise, 1.5) + 3 * noise).astype(np.float32)


def run_probe(volume, grid, parameters, order):
    nz, ny, nx = volume.shape
    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "in"), os.path.join(folder, "out")
        with open(source, "wb") as out:
            out.write(np.array([nx, ny, nz, order], "<i4").tobytes())
            out.write(np.ascontiguousarray(grid[:3, :4], "<f8").tobytes())
            out.write(np.asarray(parameters, "<f8").tobytes())
            out.write(np.ascontiguousarray(volume, "<f4").tobytes())
        subprocess.run([PROBE, source, target], check=True)
        return np.fromfile(target, "<f4").reshape(volume.shape)


def reference(volume, grid, parameters, order):
    nz, ny, nx = volume.shape
    sampling = np.linalg.inv(grid) @ np.linalg.inv(motion_affine(parameters)) @ grid
    z, y, x = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    voxels = np.stack([x.ravel(), y.ravel(), z.ravel(), np.ones(x.size)])
    c = sampling @ voxels
    values = ndimage.map_coordinates(volume.astype(np.float64), [c[2], c[1], c[0]], order=order,
                                     mode="mirror", prefilter=True)
    return values.reshape(volume.shape)


class AgainstScipy(unittest.TestCase):
    def check(self, order):
        rng = np.random.default_rng(38 + order)
        for case in range(4):
            shape = (9, 14, 16) if case % 2 else (12, 11, 13)  # (z, y, x)
            grid = oblique_grid(rng, rng.uniform(1.5, 4.0, 3))
            volume = smooth_volume(rng, shape)
            # Motions of 0.5 to 4 mm and up to 4 degrees: some voxels leave the grid.
            parameters = np.concatenate([rng.uniform(-4, 4, 3), np.radians(rng.uniform(-4, 4, 3))])
            ours = run_probe(volume, grid, parameters, order).astype(np.float64)
            theirs = reference(volume, grid, parameters, order)
            # Both interpolate in double and ours rounds once to float, so they agree to
            # half a unit in the last place of values near 100 (2^-17 there), plus the
            # double rounding of sums taken in another order; one unit bounds both.
            ulp = np.spacing(np.float32(np.abs(theirs).max()))
            worst = np.abs(ours - theirs).max()
            self.assertLessEqual(worst, ulp, f"case {case}: {worst}")
            moved = np.abs(ours - volume).max()
            self.assertGreater(moved, 1.0, "the motion changed nothing")

    def test_trilinear_matches_to_float_rounding(self):
        self.check(1)

    def test_cubic_bspline_matches_to_float_rounding(self):
        self.check(3)


if __name__ == "__main__":
    unittest.main()
