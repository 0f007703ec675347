"""The fitting itself: a block of spectra at a time, in process or on Dask.

Windows that follow the line, refits from good neighbours, the block
driver (`blocks`: blocks read, prepared and fitted by a `BlockFitter`, in
process or per Dask task, with the neighbour-refit hook), the block fitters
(`gaussian_fit`, the Gaussian; `model_fit`, a line model, with the rules
its fits follow in `model_rules`), and the Dask
graph with its worker plugin. These modules import from `basics` and
`data`, and from each other (without a circle), never from `front` or
`cli`.

Nothing is imported here, so that ``import quillet`` stays light: import
each module by its own name.
"""
