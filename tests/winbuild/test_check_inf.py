#!/usr/bin/python3
"""The INF checker accepts the shipped INF and rejects each way of breaking it.

Usage: test_check_inf.py DRIVER_DIR (the INF and the product table come from there).
"""
import pathlib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import check_inf  # noqa: E402

DRIVER_DIR = None
PRODUCTS = {0x0A7E0001, 0x0A7E0003}


def shipped_inf():
    return (pathlib.Path(DRIVER_DIR) / "driver.inf").read_text(encoding="utf-8")


def problems_of(text, products=PRODUCTS):
    return check_inf.check(check_inf.Inf(text), products, "usbmidi", "usbmidi.sys")


def drop_section(text, name):
    """The INF without section [name] (header and body)."""
    out, skipping = [], False
    for line in text.splitlines():
        stripped = line.strip()
        if stripped.startswith("["):
            skipping = stripped[1:-1].strip().lower() == name.lower()
        if not skipping:
            out.append(line)
    return "\n".join(out) + "\n"


class ShippedInf(unittest.TestCase):
    def test_accepted(self):
        self.assertEqual(problems_of(shipped_inf()), [])

    def test_lists_exactly_the_product_table(self):
        keys, files = check_inf.product_table(DRIVER_DIR)
        expected = keys if files else PRODUCTS
        self.assertEqual(problems_of(shipped_inf(), expected), [])
        self.assertIn(0x0A7E0001, expected)
        self.assertIn(0x0A7E0003, expected)


class BrokenInfRejected(unittest.TestCase):
    def assertRejected(self, text, fragment):
        problems = problems_of(text)
        self.assertTrue(any(fragment in p for p in problems), f"no problem mentioning {fragment!r} in {problems}")

    def test_missing_decorated_models(self):
        self.assertRejected(drop_section(shipped_inf(), "UsbMidi_Models.NTamd64"), "[UsbMidi_Models.NTamd64] missing")

    def test_missing_undecorated_models(self):
        self.assertRejected(drop_section(shipped_inf(), "UsbMidi_Models"), "Windows 2000")

    def test_missing_service_section(self):
        self.assertRejected(drop_section(shipped_inf(), "UsbMidi_Service"), "[UsbMidi_Service] missing")

    def test_missing_services(self):
        self.assertRejected(drop_section(shipped_inf(), "UsbMidi_Install.Services"), "Services] missing")

    def test_missing_copyfiles_section(self):
        self.assertRejected(drop_section(shipped_inf(), "UsbMidi_CopyFiles"), "[UsbMidi_CopyFiles] missing")

    def test_undefined_string(self):
        self.assertRejected(drop_section(shipped_inf(), "Strings"), "not in [Strings]")

    def test_foreign_hardware_id(self):
        text = shipped_inf().replace("PID_0003", "PID_0002")
        self.assertRejected(text, "differ from the product table")

    def test_device_missing_from_one_architecture(self):
        text = shipped_inf()
        marker = "[UsbMidi_Models.NTx86]"
        head, tail = text.split(marker)
        lines = tail.splitlines()
        lines.pop(next(i for i, l in enumerate(lines) if "PID_0003" in l))  # the NTx86 row only
        tail = "\n".join(lines)
        self.assertRejected(head + marker + tail, "list different devices")

    def test_product_missing_everywhere(self):
        text = "\n".join(l for l in shipped_inf().splitlines() if "PID_0003" not in l)
        self.assertRejected(text, "differ from the product table")

    def test_auto_start(self):
        text = shipped_inf().replace("StartType     = 3", "StartType     = 2")
        self.assertRejected(text, "StartType 2")

    def test_not_a_kernel_driver(self):
        text = shipped_inf().replace("ServiceType   = 1", "ServiceType   = 16")
        self.assertRejected(text, "ServiceType 16")

    def test_service_not_function_driver(self):
        text = shipped_inf().replace("usbmidi, 0x00000002,", "usbmidi, 0x00000000,")
        self.assertRejected(text, "0 function-driver services")

    def test_wrong_binary(self):
        text = shipped_inf().replace("%12%\\usbmidi.sys", "%12%\\other.sys")
        self.assertRejected(text, "ServiceBinary")

    def test_binary_not_on_disk(self):
        self.assertRejected(drop_section(shipped_inf(), "SourceDisksFiles"), "not in [SourceDisksFiles]")

    def test_wrong_signature(self):
        self.assertRejected(shipped_inf().replace("$Windows NT$", "$Chicago$"), "Signature")


class ProductTable(unittest.TestCase):
    def table(self, source):
        with tempfile.TemporaryDirectory() as d:
            (pathlib.Path(d) / "products.cpp").write_text(source)
            return check_inf.product_table(d)[0]

    def test_first_member_of_each_row(self):
        source = """
            const ProductEntry kProducts[] = {
                {0x0A7E0001, 1, 0x00000010},   // second literal is not a key
                {0x0A7E0003, 3, 0x00000020},
            };"""
        self.assertEqual(self.table(source), {0x0A7E0001, 0x0A7E0003})

    def test_commented_rows_ignored(self):
        source = """
            static const ProductEntry kProducts[2] = {
                {0x0A7E0001, 1},
                // {0x0A7E0002, 2},
                /* {0x0A7E0004, 4}, */
                {0x0A7E0003, 3},
            };"""
        self.assertEqual(self.table(source), {0x0A7E0001, 0x0A7E0003})

    def test_literals_outside_the_table_ignored(self):
        source = """
            constexpr unsigned long kOther = 0x12345678;
            ProductEntry const kProducts[] = {{0x0A7E0001, 1}};
            constexpr unsigned long kAfter = 0x0A7E0009;"""
        self.assertEqual(self.table(source), {0x0A7E0001})


class Parser(unittest.TestCase):
    def test_comments_continuations_and_case(self):
        inf = check_inf.Inf('[Sec]\nKey = "a;b" ; note\nLong = one,\\\n  two\n[sec2]\n')
        self.assertEqual(inf.values("SEC", "key"), ['"a;b"'])
        self.assertEqual(inf.values("sec", "Long"), ["one,two"])
        self.assertTrue(inf.has("SEC2"))

    def test_text_before_first_section(self):
        with self.assertRaises(check_inf.InfError):
            check_inf.Inf("Key = 1\n[Sec]\n")


if __name__ == "__main__":
    DRIVER_DIR = sys.argv.pop(1)
    unittest.main(verbosity=2)
