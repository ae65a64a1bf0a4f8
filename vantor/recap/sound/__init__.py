"""The sound feature: the narration over the source's own sound, and which engine spoke it."""
