"""The signing entitlements: the shipped plist parses and holds exactly the
host application's three, and the check refuses every way of straying."""
import plistlib
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import entitlements_check as check  # noqa: E402


class ShippedPlist(unittest.TestCase):
    def test_holds_exactly_the_three_set_to_true(self):
        with check.PLIST.open("rb") as f:
            entitlements = plistlib.load(f)
        self.assertEqual(entitlements, {
            "com.apple.security.cs.allow-jit": True,
            "com.apple.security.device.audio-input": True,
            "com.apple.security.device.camera": True,
        })
        self.assertNotIn("com.apple.security.cs.disable-library-validation", entitlements)
        self.assertEqual(check.problems(entitlements, "shipped"), [])


class Check(unittest.TestCase):
    def test_refuses_each_deviation(self):
        good = dict(check.EXPECTED)
        cases = [
            ({**good, "com.apple.security.cs.disable-library-validation": True}, "disable-library-validation"),
            ({**good, "com.apple.security.device.camera": False}, "is False, not true"),
            ({**good, "com.apple.security.device.camera": 1}, "is 1, not true"),
            ({k: v for k, v in good.items() if k != "com.apple.security.cs.allow-jit"}, "lacks com.apple"),
            ({**good, "com.apple.security.network.client": True}, "unexpected entitlement"),
            ([], "not a dictionary"),
        ]
        for entitlements, complaint in cases:
            found = check.problems(entitlements, "case")
            self.assertEqual(len(found), 1, (entitlements, found))
            self.assertIn(complaint, found[0])


if __name__ == "__main__":
    unittest.main()
