from mirel.nn import functional as functional

__all__ = ["functional"]
