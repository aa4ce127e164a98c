"""The page's cards, one module each: project, pattern, mask, run, look, probes, export."""
