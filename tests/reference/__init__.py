"""Straightforward Python versions of the kernels, in the documented order of
operations, for exact comparison."""
