"""``python3 -m korvane.batch``: see ``korvane.batch.command``."""

import sys

from korvane.batch.command import main

if __name__ == "__main__":
    sys.exit(main())
