"""Neural-network building blocks on mirel_core's tensors."""
from mirel.nn import functional
from mirel.nn.modules import Embedding, Flatten, Identity, Linear, Module, Parameter, ReLU, Sequential, Sigmoid, Tanh

__all__ = ["functional", "Module", "Parameter", "Linear", "Embedding", "Sequential", "ReLU", "Tanh", "Sigmoid",
           "Identity", "Flatten"]
