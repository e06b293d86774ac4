"""Coherent Ising machine through the cloud gateway."""
