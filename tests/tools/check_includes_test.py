#!/usr/bin/python3
"""The include checker refuses planted wrong-way includes and accepts the
right-way ones."""
import pathlib
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import check_includes  # noqa: E402

TABLE = """
### Sub-layers of libs/
| rank | sub-layer | units |
|---|---|---|
| 0 | foundation | `Vantrel.UTF8.Utils`, `Vantrel.XML.Tree` |
| 1 | transport | `Vantrel.HTTPClient`, `Vantrel.TinyTLS12` |
| 2 | messages | `Vantrel.XML.XDSb*` |
"""
HEADERS = {"Vantrel.UTF8.Utils.h": "libs", "Vantrel.XML.Tree.h": "libs",
           "Vantrel.HTTPClient.h": "libs", "Vantrel.TinyTLS12.h": "libs",
           "Vantrel.XML.XDSb.h": "libs", "Vantrel.XML.XDSb.CDA.h": "libs",
           "Carvelin.Database.h": "store", "Talven.Carvelin.Types.h": "services",
           "Talven.Carvelin.Objects.h": "core", "Vantrel.ImageButtons.h": "ui",
           "UDocument.h": "screens", "UFrmSynthese.h": "summary", "DMP2Main.h": "shell"}


class IncludeRules(unittest.TestCase):
    def check(self, path, include):
        files = {path: f"#include {include}\n"}
        return check_includes.faults(files, HEADERS, check_includes.sublayers(TABLE))

    def test_wrong_way_includes_are_refused(self):
        for path, include in [
                ("libs/Vantrel.UTF8.Utils.cpp", '"Vantrel.HTTPClient.h"'),
                ("libs/Vantrel.TinyTLS12.Handshake.cpp", '"Vantrel.XML.XDSb.CDA.h"'),
                ("libs/Vantrel.XML.Tree.h", '"Talven.Carvelin.Types.h"'),
                ("store/Carvelin.Database.cpp", '"Talven.Carvelin.Types.h"'),
                ("services/Talven.Carvelin.Types.cpp", '"Carvelin.Database.h"'),
                ("core/Talven.Carvelin.Objects.cpp", '"Vantrel.ImageButtons.h"'),
                ("screens/UDocument.cpp", '"DMP2Main.h"'),
                ("summary/UFrmSynthese.cpp", '"UDocument.h"'),
                ("core/Talven.Carvelin.Objects.cpp", "<QString>"),
                ("libs/Vantrel.XML.Tree.cpp", "<QtCore/QString>")]:
            with self.subTest(path=path, include=include):
                self.assertEqual(len(self.check(path, include)), 1)

    def test_right_way_includes_pass(self):
        for path, include in [
                ("libs/Vantrel.XML.XDSb.CDA.cpp", '"Vantrel.HTTPClient.h"'),
                ("libs/Vantrel.TinyTLS12.Record.cpp", '"Vantrel.TinyTLS12.h"'),
                ("libs/Vantrel.HTTPClient.cpp", "<zlib.h>"),
                ("core/Talven.Carvelin.Objects.cpp", '"Talven.Carvelin.Types.h"'),
                ("screens/UDocument.cpp", '"Carvelin.Database.h"'),
                ("shell/DMP2Main.cpp", '"UFrmSynthese.h"'),
                ("ui/Vantrel.ImageButtons.cpp", "<QWidget>")]:
            with self.subTest(path=path, include=include):
                self.assertEqual(self.check(path, include), [])

    def test_a_libs_unit_outside_the_table_is_reported(self):
        files = {"libs/Vantrel.New.cpp": ""}
        found = check_includes.faults(files, dict(HEADERS, **{"Vantrel.New.h": "libs"}),
                                      check_includes.sublayers(TABLE))
        self.assertEqual(len(found), 1)
        self.assertIn("no sub-layer", found[0])


if __name__ == "__main__":
    unittest.main()
