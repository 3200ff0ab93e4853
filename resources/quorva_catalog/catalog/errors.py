"""What can go wrong with the catalog, as the catalog's own errors: engines raise these and
never let their driver's errors or texts through."""


class CatalogError(Exception):
    """A Thai sentence a page can show as it is."""

    def __init__(self, thai=""):
        super().__init__(thai)
        self.thai = thai


class BackupError(CatalogError):
    """A copy could not be made, checked or put back; the catalog is as it was."""


class DuplicateCode(CatalogError):
    """Another item already has this code, as codes compare (Latin case aside)."""

    def __init__(self, code):
        super().__init__(f"รหัสสินค้า “{code}” มีอยู่แล้ว กรุณาใช้รหัสอื่น")
        self.code = code


class InvalidValues(CatalogError):
    """The database refused a value the catalog's own checks let through."""

    def __init__(self):
        super().__init__("ข้อมูลไม่ผ่านการตรวจสอบของฐานข้อมูล กรุณาตรวจสอบค่าที่กรอก")


class ItemMissing(CatalogError):
    def __init__(self):
        super().__init__("ไม่พบสินค้านี้ อาจถูกลบไปแล้ว")


class StaleRevision(CatalogError):
    """Someone saved the item since the revision the change was based on."""


class CatalogChanged(CatalogError):
    """The catalog changed after the preview an import was to be applied from."""


class ImportRejected(CatalogError):
    def __init__(self, errors):
        super().__init__(f"{len(errors)} rows rejected")
        self.errors = errors


class NoRoom(CatalogError):
    """The database's disk is full: nothing of the change was kept."""

    def __init__(self):
        super().__init__("พื้นที่ว่างบนดิสก์ของฐานข้อมูลไม่พอ จึงยังไม่ได้บันทึก "
                         "กรุณาเพิ่มที่ว่างแล้วลองใหม่ ข้อมูลเดิมยังอยู่ครบ")


UNREACHABLE, LOGIN_REFUSED, DATABASE_MISSING = "unreachable", "login", "missing"

UNAVAILABLE_TEXTS = {
    UNREACHABLE: "ติดต่อเซิร์ฟเวอร์ฐานข้อมูลไม่ได้ อาจปิดอยู่หรือเครือข่ายขัดข้อง",
    LOGIN_REFUSED: "เซิร์ฟเวอร์ฐานข้อมูลไม่ยอมให้เข้าใช้ ชื่อผู้ใช้หรือรหัสผ่านอาจไม่ถูกต้อง",
    DATABASE_MISSING: "ไม่พบฐานข้อมูลของแคตตาล็อกบนเซิร์ฟเวอร์ฐานข้อมูล",
}


class Unavailable(CatalogError):
    """The database cannot be used now, for `reason` (UNREACHABLE, LOGIN_REFUSED or
    DATABASE_MISSING); the next call tries again, so it may come back by itself."""

    def __init__(self, reason):
        super().__init__(UNAVAILABLE_TEXTS[reason])
        self.reason = reason
