"""One recap: its checks, its run through the engine, its results.

The modules load nothing heavy on import; `vantor.recap.engine.run.EngineRun` is
the one run path every front end takes.
"""
