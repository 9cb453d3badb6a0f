"""Compiled numerical kernels.

``respgrid``: region boundaries of a photopeak response and response matrices
interpolated region by region from a reference matrix.
``rebin``: histogram counts redistributed onto new bin edges.

The modules are imported on their own (``from vantor.utils.numerics.accel
import respgrid``); importing this package loads neither.
"""
