"""What each address of the catalog does, one module per area: read the request, ask the
store, answer with a page or a redirect. The pages themselves are built in pages/."""

import re

from ..httpd import Handler
from ..pages.layout import STYLESHEET
from ..pages.script import SCRIPT
from .backups import BackupRoutes
from .items import ItemRoutes
from .transfer import TransferRoutes


class CatalogHandler(ItemRoutes, TransferRoutes, BackupRoutes, Handler):
    routes = [
        (re.compile(r"/style\.css"), {"GET": "style"}),
        (re.compile(r"/page\.js"), {"GET": "script"}),
        (re.compile(r"/favicon\.ico"), {"GET": "favicon"}),
        *ItemRoutes.routes,
        *TransferRoutes.routes,
        *BackupRoutes.routes,
    ]

    def style(self):
        self.send_body(200, STYLESHEET, "text/css; charset=utf-8")

    def script(self):
        self.send_body(200, SCRIPT, "text/javascript; charset=utf-8")

    def favicon(self):
        self.send_body(204, b"", "image/x-icon")
