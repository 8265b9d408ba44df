"""The near-duplicate job of examples/demo.py, in small modules.

`inputs` reads vectors, `signing` normalises, digests and signs them,
`buckets` forms candidate pairs from shared bands, `scoring` estimates their
cosine, `local` and `cluster` run the job in one process or on Dask, `output`
writes the results and `report` prints what happened.
"""
