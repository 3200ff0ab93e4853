"""QUORVA's benchmarks: `bench/run` (this package's __main__) and the catalog's own benches,
run from the checkout's root as modules (python3 -m bench.catalog_scale)."""
