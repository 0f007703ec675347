"""The front ends: the calls a user makes, and maps on disk and on paper.

`fit_cube`, `moments`, `read_cube`, maps written and read (FITS, Zarr:
`maps_files`), pictures of maps and spectra (`figures`, shared by `plots`
and `model_plots`), and the registry's entries for them (`formats`). These
modules import from `basics`, `data` and `work`, and from each other
(without a circle), never from `cli`.

Nothing is imported here, so that ``import quillet`` stays light: import
each module by its own name.
"""
