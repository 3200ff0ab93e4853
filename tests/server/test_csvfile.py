import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "resources"))
from quorva_catalog import csvfile  # noqa: E402


class ReadCsvTest(unittest.TestCase):
    def test_an_upload_in_a_file_reads_as_the_same_bytes_would(self):
        data = ("รหัส;ชื่อ;ราคา\r\nC-1;ไข่ไก่;120\r\n"
                "C-2;\"น้ำปลา\r\nขวดใหญ่\";25\r\n").encode("cp874")
        with tempfile.TemporaryFile() as upload:
            upload.write(data)
            upload.seek(0)
            old_chunk, csvfile.CHUNK = csvfile.CHUNK, 7  # decoded across many chunks
            try:
                from_file = csvfile.read_csv(upload)
            finally:
                csvfile.CHUNK = old_chunk
            self.assertFalse(upload.closed)
        self.assertEqual(from_file, csvfile.read_csv(data))
        self.assertEqual([values["name"] for _, values, _ in from_file[0]],
                         ["ไข่ไก่", "น้ำปลา ขวดใหญ่"])


if __name__ == "__main__":
    unittest.main()
