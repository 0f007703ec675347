"""What the package reads and returns: data and its meaning.

The noise estimate, guides, quality bits, line models, the `Cube` and its
spectral axis, FITS files and images, a fit's inputs checked
(`fit_inputs`), and the maps a fit returns (`results`' `LineFit`,
`model_results`' `ModelFit`). These modules import from `basics` and from
each other (without a circle). The one exception: the convenience methods of
`LineFit` and `ModelFit` that write, read and draw maps import their front
end (`front.maps_files`, `front.plots`, `front.model_plots`) when called.

Nothing is imported here, so that ``import quillet`` stays light: import
each module by its own name.
"""
