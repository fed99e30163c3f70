"""Neural-network building blocks on mirel_core's tensors."""
from mirel.nn import functional
from mirel.nn.modules import Embedding, Flatten, Identity, Linear, Module, Parameter, ReLU, Sequential, Sigmoid, Tanh
from mirel.nn.transformer import GELU, Dropout, LayerNorm, MultiheadAttention, RMSNorm, SiLU

__all__ = ["functional", "Module", "Parameter", "Linear", "Embedding", "Sequential", "ReLU", "Tanh", "Sigmoid",
           "Identity", "Flatten", "LayerNorm", "RMSNorm", "Dropout", "GELU", "SiLU", "MultiheadAttention"]
