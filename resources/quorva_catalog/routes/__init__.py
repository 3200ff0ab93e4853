"""What each address of the catalog does, one module per area: read the request, ask the
store, answer with a page or a redirect. The pages themselves are built in pages/."""

import re
import urllib.parse

from ..httpd import Handler
from ..pages.layout import PAGE_SCRIPT, STYLESHEET
from ..pages.updating import updating_page
from .backups import BackupRoutes
from .bin import BinRoutes
from .items import ItemRoutes
from .transfer import TransferRoutes


class CatalogHandler(ItemRoutes, TransferRoutes, BackupRoutes, BinRoutes, Handler):
    routes = [
        (re.compile(r"/style\.css"), {"GET": "style"}),
        (re.compile(r"/page\.js"), {"GET": "page_script"}),
        (re.compile(r"/favicon\.ico"), {"GET": "favicon"}),
        *ItemRoutes.routes,
        *TransferRoutes.routes,
        *BackupRoutes.routes,
        *BinRoutes.routes,
    ]

    def route(self):
        if self.app.store is None and urllib.parse.urlsplit(self.path).path != "/style.css":
            self.check_host()
            # A body sent now is not read: the connection ends with this answer.
            self.close_connection = True
            outage = self.app.outage
            if outage is None:
                self.send_page(503, updating_page(), (("Retry-After", "1"),))
            else:
                self.send_outage(outage)
            return
        super().route()

    def style(self):
        self.send_body(200, STYLESHEET, "text/css; charset=utf-8")

    def page_script(self):
        self.send_body(200, PAGE_SCRIPT, "text/javascript; charset=utf-8")

    def favicon(self):
        self.send_body(204, b"", "image/x-icon")
