"""``python -m quillet``: the command line.

SIGTERM is caught before anything else is imported, and a Ctrl-C while the
command line loads ends with one line and status 130, like one during the
run (`quillet.cli.main`), not with a traceback.
"""

import sys

try:
    from .basics.signals import catch_termination

    catch_termination()
    from .cli import main
except KeyboardInterrupt as stop:
    from .basics.signals import stopped

    sys.exit(stopped(stop))

sys.exit(main())
