"""The fit feature: how each narration fits its range, known before the engine runs."""
