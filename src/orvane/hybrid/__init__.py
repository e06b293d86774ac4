"""Hybrid loops around QUBO solvers."""
