"""The fitting itself: a block of spectra at a time, in process or on Dask.

Windows that follow the line, refits from good neighbours, the fit of a
block (`block_fit`, the Gaussian; `model_fit`, a line model), and the Dask
graph with its worker plugin. These modules import from `basics` and
`data`, and from each other (without a circle), never from `front` or
`cli`.

Nothing is imported here, so that ``import quillet`` stays light: import
each module by its own name.
"""
