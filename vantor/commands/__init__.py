"""The subcommands of `vantor`, one module each. Each module's
`register(subparsers)` adds its parser and sets its handler; a handler
returns the exit status (see `vantor.cli`)."""
