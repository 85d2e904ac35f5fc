// Transfer engine library anchor.
