"""The checks made before a run asks any service for anything, and the probe of the downloaded video."""
