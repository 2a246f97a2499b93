"""Benchmarks: each workload timed beside a floor measured in the same run."""
