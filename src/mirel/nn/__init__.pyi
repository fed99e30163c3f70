from mirel.nn import functional as functional
from mirel.nn.modules import Embedding as Embedding, Flatten as Flatten, Identity as Identity, Linear as Linear
from mirel.nn.modules import Module as Module, Parameter as Parameter, ReLU as ReLU, Sequential as Sequential
from mirel.nn.modules import Sigmoid as Sigmoid, Tanh as Tanh
from mirel.nn.transformer import GELU as GELU, Dropout as Dropout, LayerNorm as LayerNorm
from mirel.nn.transformer import MultiheadAttention as MultiheadAttention, RMSNorm as RMSNorm, SiLU as SiLU

__all__ = ["functional", "Module", "Parameter", "Linear", "Embedding", "Sequential", "ReLU", "Tanh", "Sigmoid",
           "Identity", "Flatten", "LayerNorm", "RMSNorm", "Dropout", "GELU", "SiLU", "MultiheadAttention"]
