import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "resources"))
from quorva_catalog.markup import Markup, html, join  # noqa: E402


class MarkupTest(unittest.TestCase):
    def test_every_value_that_is_not_markup_is_escaped(self):
        for name, built, expected in [
            ("text", html("<p>{}</p>", "<b>&\"'"), "<p>&lt;b&gt;&amp;&quot;&#x27;</p>"),
            ("markup kept", html("<p>{}</p>", Markup("<b>")), "<p><b></p>"),
            ("spec then escape", html("{:,}|{:>4}", 1234567, "<"), "1,234,567|   &lt;"),
            ("markup with a spec", html("{:>4}", Markup("<")), "   &lt;"),
            ("keywords and numbers", html('<a href="/{id}">{id}</a>', id=7), '<a href="/7">7</a>'),
            ("join", join(["<", Markup("<br>"), 3]), "&lt;<br>3"),
            ("nested", html("<ul>{}</ul>", join(html("<li>{}</li>", x) for x in "<>")),
             "<ul><li>&lt;</li><li>&gt;</li></ul>"),
        ]:
            with self.subTest(name):
                self.assertIsInstance(built, Markup)
                self.assertEqual(built, expected)


if __name__ == "__main__":
    unittest.main()
