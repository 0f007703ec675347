"""What the package reads and returns: data and its meaning.

The noise estimate, guides, quality bits (of a line model's components in
`model_quality`), line models, the `Cube` and its
spectral axis, FITS files and images, a fit's inputs checked
(`fit_inputs`), and the results: every kind of maps (`maps`' `Maps`, the
base of `results`' `LineFit`, `model_results`' `ModelFit` and
`moment_results`' `Moments`), which reach their files and pictures through
the registry of `formats`, filled by the front ends. These modules import
from `basics` and from each other (without a circle), and from nothing
above, not even inside a function.

Nothing is imported here, so that ``import quillet`` stays light: import
each module by its own name.
"""
