"""The generator's structure check on small data sets of its own: what a
page's build list may enter, and what it may not."""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "krn", "rscp"))
import rscpgen  # noqa: E402

ASCII = {"id": "ASCII", "codec": "ascii", "bytes": [[32, 126]]}
# Lower-case letters again, at the codes of the upper-case ones.
MOVED = {"id": "MOVED", "own": [[97 + i, "%02X" % (65 + i)] for i in range(26)]}
# ASCII once more behind ESC ( B, as ISO-2022-JP reads it.
SHIFT = {"id": "SHASC", "rule": 73, "attr1": "ASCII", "attr2": "1B2842,1B284A"}
# Lower-case letters again, at codes of their own from A1 on.
OTHER = {"id": "OTHER", "own": [[97 + i, "%02X" % (0xA1 + i)] for i in range(26)]}


def check(top, *segments):
    manifest = {"tcp01": {"own_base": 0x110000}}
    page = {"cp": "9100", "segid": "9100T", "top": top}
    specs = list(segments) + [{"id": "9100T", "build": top}]
    segs = rscpgen.build_segments(manifest, rscpgen.Decoder({}), specs)
    rscpgen.check_structure([page], segs)


class StructureCheck(unittest.TestCase):
    def refused(self, text, top, *segments):
        with self.assertRaises(rscpgen.DataError) as e:
            check(top, *segments)
        self.assertIn(text, str(e.exception))

    def test_a_value_that_a_shift_rule_writes_again_is_refused(self):
        self.refused("9100: U+0020 written twice (ASCII, SHASC)", [["ASCII", 1, 1], ["SHASC", 2, 1]], ASCII, SHIFT)

    def test_a_shift_rule_that_is_only_read_may_repeat_values(self):
        check([["ASCII", 1, 1], ["SHASC", 2, 1, "in"]], ASCII, SHIFT)

    def test_a_code_twice_is_refused_read_only_or_not(self):
        self.refused("9100: code 41 twice (ASCII, MOVED)", [["ASCII", 1, 1], ["MOVED", 2, 1, "in"]], ASCII, MOVED)
        self.refused("9100: code 1b2842 20 twice (SHASC, SHAS2)", [["SHASC", 1, 1], ["SHAS2", 2, 1, "in"]], ASCII, SHIFT,
                     dict(SHIFT, id="SHAS2"))

    def test_further_codes_of_a_value_only_in_rows_that_are_read(self):
        self.refused("9100: U+0061 written twice (ASCII, OTHER)", [["ASCII", 1, 1], ["OTHER", 2, 1]], ASCII, OTHER)
        check([["ASCII", 1, 1], ["OTHER", 2, 1, "in"]], ASCII, OTHER)

    def test_the_flag_holds_for_everything_below_its_row(self):
        nested = {"id": "NESTD", "build": [["OTHER", 1, 1]]}
        check([["ASCII", 1, 1], ["NESTD", 2, 1, "in"]], ASCII, OTHER, nested)
        self.refused("row flag 'out'", [["ASCII", 1, 1, "out"]], ASCII)


if __name__ == "__main__":
    unittest.main()
