"""Neural-network building blocks on mirel_core's tensors."""
from mirel.nn import functional

__all__ = ["functional"]
