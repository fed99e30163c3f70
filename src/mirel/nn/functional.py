"""Functions of neural networks: activations and losses, recorded on the tape."""
from mirel_core import nn as _core_nn
from mirel._native import cross_entropy, linear, log_softmax, mse_loss, softmax

relu = _core_nn.functional.relu

__all__ = ["relu", "softmax", "log_softmax", "cross_entropy", "mse_loss", "linear"]
