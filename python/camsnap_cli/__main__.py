import sys

from camsnap_cli.main import main

sys.exit(main())
