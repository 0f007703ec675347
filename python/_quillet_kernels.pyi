# Types of the _quillet_kernels extension module, for type checkers.

__all__: list[str]
