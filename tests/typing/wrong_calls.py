"""Calls the type stubs must reject (checked by tests/test_stubs.py)."""

import zarvik_lumetra_native as zln
import zarvik_lumetra_bulk as bulk

zln.hamming_distance_hex(b"ff", "0f")  # bytes where str is required
zln.cosine_from_hamming(1.5, 256)  # float where an integer is required
zln.simhash_lsh_multi([1.0], bits="256")  # str where an integer is required
family: zln.LshFamily = zln.simhash_lsh_multi([1.0])  # returns a list
signature: int = zln.simhash_lsh_multi([1.0])[0].signature  # a str
zln.LshConfig().bits = 3  # read-only property
zln.PanicException  # not a module attribute
bulk.sign_rows(b"", threads="2")  # str where an integer is required
bulk.digest_rows(b"", 2)  # threads is keyword-only
texts: list[str] = bulk.signature_texts(bulk.sign_rows(b""), 256)  # an array, not a list
