#!/usr/bin/python3
"""Writes a NIfTI label image on the default 256^3 VMR grid with two labelled cubes,
usable as `hvhost --voi labels.nii.gz`: label 1 becomes VOI "label 1", label 2 "label 2".

Usage: /usr/bin/python3 examples/make_label_image.py OUT.nii.gz
"""
import sys

import nibabel
import numpy

labels = numpy.zeros((256, 256, 256), dtype=numpy.uint8)
labels[96:103, 96:103, 117:124] = 1   # 7 x 7 x 7 VMR voxels around (99, 99, 120)
labels[177:184, 96:103, 117:124] = 2  # and around (180, 99, 120)
affine = numpy.eye(4)
affine[:3, 3] = -128                  # the default VMR: 1 mm, centre at the origin
nibabel.save(nibabel.Nifti1Image(labels, affine), sys.argv[1])
