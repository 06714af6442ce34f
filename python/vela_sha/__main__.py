"""python -m vela_sha: the vela-sha command line."""

import sys

from vela_sha.cli import main

if __name__ == "__main__":
    sys.exit(main())
