import sys

from orvane.cli import main

sys.exit(main())
