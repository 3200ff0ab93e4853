"""The three-way merge of an item edited on one form while someone else saved it: what
each side changed, and what the user chose where both changed one field."""

from ..text import clean_item, format_satang

FORM_FIELDS = ("code", "name", "category", "price", "quantity", "note")
STORED_AS = {"price": "price_satang"}
CHOICES = ("mine", "theirs", "fields")


def differing(values, row):
    """The fields whose typed value, once cleaned, is not what is stored (or is no value)."""
    return [field for field in FORM_FIELDS
            if values.get(STORED_AS.get(field, field)) != row[STORED_AS.get(field, field)]]


def opened_with(form, prefix="was-"):
    """The values an edit form was opened with, or None from a form that did not carry them."""
    if not all(prefix + field in form for field in FORM_FIELDS):
        return None
    return {field: form[prefix + field] for field in FORM_FIELDS}


def three_way(base, mine, row):
    """(values to save, fields both sides changed to different values): a field only one
    side changed takes that side's value. Without `base`, every field that differs clashes."""
    was = clean_item(base)[0] if base is not None else None
    stored = clean_item(item_raw(row))[0]
    merged, clashes = {}, []
    for field in FORM_FIELDS:
        key = STORED_AS.get(field, field)
        ours, theirs = mine.get(key), stored.get(key)
        if ours == theirs or was is not None and theirs == was.get(key):
            merged[key] = ours
        elif was is not None and ours == was.get(key):
            merged[key] = row[key]
        else:
            clashes.append(field)
            merged[key] = ours
    return merged, clashes


def resolve(choice, form, clashes, merged, theirs):
    """(values the user settled on, clashing fields still to choose)."""
    settled, unchosen = dict(merged), []
    for field in clashes:
        pick = choice if choice != "fields" else form.get("pick-" + field)
        if pick not in ("mine", "theirs"):
            unchosen.append(field)
        elif pick == "theirs":
            key = STORED_AS.get(field, field)
            settled[key] = theirs[key]
    return settled, unchosen


def item_raw(row):
    """A stored item as the form shows it."""
    return {"code": row["code"], "name": row["name"], "category": row["category"],
            "price": format_satang(row["price_satang"], grouped=False),
            "quantity": str(row["quantity"]), "note": row["note"]}
