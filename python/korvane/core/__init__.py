"""Host services of the pipeline: the destination page fetcher."""
