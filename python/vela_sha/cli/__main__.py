"""python -m vela_sha.cli, as python -m vela_sha."""

import sys

from vela_sha.cli import main

if __name__ == "__main__":
    sys.exit(main())
