"""The ground floor: what every other layer stands on.

The package's errors and signals, the fit settings (`LineSettings`), blocks
of rows, array kinds, units, the progress bar, outputs written whole or not
at all, lazy results computed block by block, the worker pool's size and the
package's version. These modules import only from each other (without a
circle) and from outside the package, never from `data`, `work`, `front` or
`cli`.

Nothing is imported here, so that ``import quillet`` stays light: import
each module by its own name.
"""
