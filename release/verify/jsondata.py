"""JSON as the records hold it, read strictly: bounded in size, no key twice in one object,
no number of unbounded length, nothing JSON does not have."""
import json

from .report import Refused, q


def strict(data, name, limit):
    if len(data) > limit:
        raise Refused(f"{name} is over {limit >> 10} KiB, far more than a release's")

    def pairs(items):
        seen = {}
        for key, value in items:
            if key in seen:
                raise Refused(f"{name} holds the key {q(key)} twice in one object")
            seen[key] = value
        return seen

    def number(text):
        if len(text) > 20:
            raise Refused(f"{name} holds a number of {len(text)} digits")
        return int(text)

    def real(text):
        if len(text) > 40:
            raise Refused(f"{name} holds a number of {len(text)} characters")
        return float(text)

    def constant(text):
        raise Refused(f"{name} holds {text}, which JSON does not have")
    try:
        return json.loads(data.decode("utf-8"), object_pairs_hook=pairs, parse_int=number,
                          parse_float=real, parse_constant=constant)
    except UnicodeDecodeError:
        raise Refused(f"{name} is not UTF-8")
    except RecursionError:
        raise Refused(f"{name} is nested too deeply")
    except ValueError as error:
        raise Refused(f"{name} is not JSON: {q(str(error)[:200])}")


def dig(value, *path, kind=dict):
    """value[path...] when each step is there and the last is a KIND, else None."""
    for step in path:
        if isinstance(step, int):
            value = value[step] if isinstance(value, list) and len(value) > step else None
        else:
            value = value.get(step) if isinstance(value, dict) else None
    return value if isinstance(value, kind) and not (kind is int and isinstance(value, bool)) else None


def objects(value):
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []
