import sys

from .launch import launch

sys.exit(launch())
