from mirel.nn import functional as functional
from mirel.nn.modules import Embedding as Embedding, Linear as Linear, Module as Module, ReLU as ReLU
from mirel.nn.modules import Sequential as Sequential

__all__ = ["functional", "Module", "Linear", "Embedding", "Sequential", "ReLU"]
