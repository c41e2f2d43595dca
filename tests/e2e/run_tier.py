#!/usr/bin/env python3
"""Runs e2e test modules for CTest: run_tier.py MODULE...

Exits with 77 (the tier's SKIP_RETURN_CODE in CMakeLists.txt) when the network lab cannot run here, so that CTest
reports the tier as skipped instead of passed; says so loudly on stderr. Otherwise 0 when every test passed, else 1.
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import netlab  # noqa: E402

SKIPPED = 77


def main(argv):
    if len(argv) < 2:
        print("usage: run_tier.py MODULE...", file=sys.stderr)
        return 2
    reason = netlab.available()
    if reason:
        print(f"\n*** e2e tier SKIPPED, NOT RUN ({', '.join(argv[1:])}): {reason} ***\n", file=sys.stderr)
        return SKIPPED
    program = unittest.main(module=None, argv=[argv[0], "-v", *argv[1:]], exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
