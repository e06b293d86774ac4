"""Higher-order binary models and their reduction to quadratic form."""
