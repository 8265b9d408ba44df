"""The near-duplicate job of examples/demo.py, in small modules.

`inputs` reads vectors (`corpus` generates them), `signing` normalises,
digests, signs and scores with the module, `buckets` forms candidate pairs
from shared bands, `local` and `cluster` run the job in one process or on
Dask into a `result`, `output` writes the result files and `report` prints
what happened. `libs` imports the optional libraries, `errors` holds the
exception shown to the user as one line.
"""
