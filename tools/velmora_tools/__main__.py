import sys

from velmora_tools.cli import main

sys.exit(main())
