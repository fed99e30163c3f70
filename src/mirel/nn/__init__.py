"""Neural-network building blocks on mirel_core's tensors."""
from mirel.nn import functional
from mirel.nn.modules import Embedding, Linear, Module, ReLU, Sequential

__all__ = ["functional", "Module", "Linear", "Embedding", "Sequential", "ReLU"]
