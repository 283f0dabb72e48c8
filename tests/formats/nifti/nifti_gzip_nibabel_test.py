#!/usr/bin/python3
"""A default VTC exported by `hvhost convert` as .nii.gz, read the way the field reads it.

The compressed file is a series of gzip members, which nibabel must read whole: the
shape, voxel size, TR and affine that the VTC's header implies, and every value equal
to the native VTC's.
"""
import os
import struct
import subprocess
import tempfile
import unittest

import nibabel
import numpy

HVHOST = os.environ["HVHOST"]
MODULE = os.environ["MODULE"]


def run_hvhost(*arguments):
    subprocess.run([HVHOST, *arguments], check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL)


def read_native_vtc(path):
    """The grid, the affine it implies and the values as (x, y, z, t), per vtc_file.h."""
    with open(path, "rb") as f:
        header = f.read(168)
    data_offset, = struct.unpack_from("<I", header, 8)
    dim_x, dim_y, dim_z, points = struct.unpack_from("<4i", header, 12)
    x_start, _, y_start, _, z_start, _ = struct.unpack_from("<6i", header, 28)
    resolution, = struct.unpack_from("<i", header, 52)
    tr_ms, = struct.unpack_from("<d", header, 56)
    vmr = numpy.eye(4)
    vmr[:3, :] = numpy.array(struct.unpack_from("<12d", header, 64)).reshape(3, 4)
    grid_to_vmr = numpy.diag([resolution, resolution, resolution, 1.0])
    grid_to_vmr[:3, 3] = [x_start, y_start, z_start]
    values = numpy.fromfile(path, dtype="<f4", offset=data_offset)
    values = values.reshape(dim_z, dim_y, dim_x, points).transpose(2, 1, 0, 3)
    return values, vmr @ grid_to_vmr, tr_ms / 1000.0


class DefaultVtcAsCompressedNifti(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        run_hvhost("--defaults", "--protocol", "examples/block_design.prt",
                   "--output-dir", cls.folder.name, MODULE)
        cls.vtc = os.path.join(cls.folder.name, "Simulated.vtc")
        cls.packed = os.path.join(cls.folder.name, "packed.nii.gz")
        run_hvhost("convert", cls.vtc, cls.packed)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def test_nibabel_reads_the_vtcs_grid_placement_and_every_value(self):
        values, affine, tr = read_native_vtc(self.vtc)
        image = nibabel.load(self.packed)
        self.assertEqual(image.shape, values.shape)
        self.assertEqual(image.get_data_dtype(), numpy.float32)
        self.assertEqual(image.header.get_zooms(), (3.0, 3.0, 3.0, tr))
        numpy.testing.assert_array_equal(image.affine, affine)
        loaded = numpy.asarray(image.dataobj)
        self.assertEqual(loaded.dtype, numpy.float32)
        self.assertTrue(numpy.array_equal(loaded, values))


if __name__ == "__main__":
    unittest.main()
