"""Dask."""
def run(*a): raise NotImplementedError
def describe(a): return a
