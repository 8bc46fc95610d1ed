"""An MSI's tables, summary information and stream names, read as data with libmsi (Debian's
gir1.2-libmsi-1.0), the library msitools is made of. Nothing is parsed from a tool's text."""
import gi

gi.require_version("Libmsi", "1.0")
from gi.repository import GLib, Libmsi  # noqa: E402 (after the version is chosen)

Error = GLib.Error


def _rows(database, sql):
    query = Libmsi.Query.new(database, sql)
    query.execute(None)
    while True:
        record = query.fetch()
        if record is None:
            break
        yield query, record


def _table(database, name):
    query = Libmsi.Query.new(database, f"SELECT * FROM `{name}`")
    names = query.get_column_info(Libmsi.ColInfo.NAMES)
    types = query.get_column_info(Libmsi.ColInfo.TYPES)
    columns = [[names.get_string(i), types.get_string(i)] for i in range(1, names.get_field_count() + 1)]
    keys = database.get_primary_keys(name)
    rows = []
    query.execute(None)
    while True:
        record = query.fetch()
        if record is None:
            break
        row = []
        for i, (_, kind) in enumerate(columns, 1):
            if record.is_null(i):
                row.append(None)
            elif kind[0] in "iI":
                row.append(record.get_int(i))
            else:
                row.append(record.get_string(i))
        rows.append(row)
    return {"columns": columns, "keys": [keys.get_string(i) for i in range(1, keys.get_field_count() + 1)],
            "rows": rows}


def _summary(database):
    info = Libmsi.SummaryInfo.new(database, 0)
    found = {}
    for prop in info.get_properties():
        kind = info.get_property_type(prop)
        key = prop.value_nick.replace("-", "_")
        if kind == Libmsi.PropertyType.STRING:
            found[key] = info.get_string(prop)
        elif kind == Libmsi.PropertyType.INT:
            found[key] = info.get_int(prop)
        elif kind == Libmsi.PropertyType.FILETIME:
            found[key] = info.get_filetime(prop)
    return found


def read(path):
    """{"tables": {name: {"columns": [[name, type]], "keys": [...], "rows": [[...]]}},
    "summary": {field: value}, "streams": [names]}. Raises Error on what libmsi cannot read."""
    database = Libmsi.Database.new(path, Libmsi.DbFlags.READONLY, None)
    names = [record.get_string(1) for _, record in _rows(database, "SELECT `Name` FROM `_Tables`")]
    return {"tables": {name: _table(database, name) for name in names},
            "summary": _summary(database),
            "streams": sorted(record.get_string(1) for _, record in _rows(database, "SELECT `Name` FROM `_Streams`"))}
