"""Runs the python tests of one module for ctest, from the module's folder:

    run_unittest.py MODULE

Exit status 0 when every test ran and passed, 1 when one failed, and 77
(ctest's SKIP_RETURN_CODE) when none failed but some were skipped because a
tool or a part of the build is missing: such a run shows as skipped, never as
passed, and scripts/test fails on it."""
import os
import sys
import unittest

SKIPPED = 77


class ReportingResult(unittest.TextTestResult):
    """A failed test also shows the last reports of the helper processes it
    started (the simulated board, the emulated chip): what reached them and
    when, for a failure that comes only now and then."""

    def startTest(self, test):
        del started_helpers()[:]
        super().startTest(test)

    def _exc_info_to_string(self, err, test):
        text = super()._exc_info_to_string(err, test)
        for helper in started_helpers():
            text += "\nlast reports of the %s (%s), times from time.monotonic():\n  %s\n" % (
                helper.name, helper.path, "\n  ".join(helper.last_reports()))
        return text


def started_helpers():
    harness = sys.modules.get("harness")
    return getattr(harness, "STARTED", [])


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.path.insert(0, os.getcwd())
    suite = unittest.defaultTestLoader.loadTestsFromName(sys.argv[1])
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, resultclass=ReportingResult).run(suite)
    if not result.wasSuccessful():
        return 1
    if result.skipped:
        for test, reason in result.skipped:
            print("skipped: %s: %s" % (test, reason))
        return SKIPPED
    if result.testsRun == 0:
        print("no test ran")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
