"""Simulated annealing samplers (``orvane.sampler._annealer``)."""
