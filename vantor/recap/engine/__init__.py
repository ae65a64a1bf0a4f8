"""The run and its host: the checked run every front end takes, the engine's steps as a run hosts them, its outputs,
its failures and the progress it shows."""
