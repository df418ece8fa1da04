#!/usr/bin/env python3
"""Checks the tool's lines against doc/records.schema.json.

  check_records.py SCHEMA DIR       every run the end-to-end tests kept in DIR
  check_records.py SCHEMA --self    lines the schema must accept and reject

The end-to-end tests keep each run of the tool in DIR (see
tests/support/child.cpp): NAME.err holds its standard error, NAME.out the
standard output of a listing, and NAME ends in "-s" and the exit status (-1
when it was not seen). Every complete line must match the schema, and a
capture's records must come in the documented order: at most one ready
record; a fatal error record only as the last line, and never after ready.

The validator knows only the keywords the schema uses and refuses any other,
so the schema cannot say more than is checked. Standard library only.
"""

import json
import os
import re
import sys

KNOWN = {"$schema", "$id", "$defs", "title", "description", "$ref", "oneOf", "type", "const",
         "enum", "properties", "required", "additionalProperties", "items", "minItems",
         "minimum", "maximum"}
TYPES = {
    "object": lambda v: isinstance(v, dict),
    "array": lambda v: isinstance(v, list),
    "string": lambda v: isinstance(v, str),
    "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
    "integer": lambda v: (isinstance(v, int) and not isinstance(v, bool))
    or (isinstance(v, float) and v.is_integer()),
}


def same(a, b):
    """JSON equality: 1 and 1.0 are equal, true and 1 are not."""
    if isinstance(a, bool) or isinstance(b, bool):
        return a is b
    return a == b


def errors(schema, value, root, path="$"):
    """The reasons `value` does not match `schema`, as a list of texts."""
    unknown = set(schema) - KNOWN
    if unknown:
        raise SystemExit(f"schema keyword(s) this checker does not know: {sorted(unknown)}")
    if "$ref" in schema:
        node = root
        for part in schema["$ref"].removeprefix("#/").split("/"):
            node = node[part]
        found = errors(node, value, root, path)
        if found:
            return found
    if "oneOf" in schema:
        branches = [errors(s, value, root, path) for s in schema["oneOf"]]
        matches = branches.count([])
        if matches == 0:
            return min(branches, key=len)  # the reasons of the nearest branch
        if matches > 1:
            return [f"{path}: matches {matches} of oneOf, not 1"]
    if "type" in schema and not TYPES[schema["type"]](value):
        return [f"{path}: not of type {schema['type']}"]
    if "const" in schema and not same(schema["const"], value):
        return [f"{path}: not {schema['const']!r}"]
    if "enum" in schema and not any(same(e, value) for e in schema["enum"]):
        return [f"{path}: {value!r} not one of {schema['enum']}"]
    found = []
    if TYPES["number"](value):
        if "minimum" in schema and value < schema["minimum"]:
            found.append(f"{path}: {value} below {schema['minimum']}")
        if "maximum" in schema and value > schema["maximum"]:
            found.append(f"{path}: {value} above {schema['maximum']}")
    if isinstance(value, list):
        if len(value) < schema.get("minItems", 0):
            found.append(f"{path}: fewer than {schema['minItems']} items")
        if "items" in schema:
            for i, item in enumerate(value):
                found += errors(schema["items"], item, root, f"{path}[{i}]")
    if isinstance(value, dict):
        properties = schema.get("properties", {})
        for key in schema.get("required", []):
            if key not in value:
                found.append(f"{path}: missing key {key!r}")
        for key, item in value.items():
            if key in properties:
                found += errors(properties[key], item, root, f"{path}.{key}")
            elif schema.get("additionalProperties", True) is False:
                found.append(f"{path}: unexpected key {key!r}")
    return found


def no_constant(name):
    raise ValueError(f"{name} is not JSON")


def parse(line):
    """The record of one line, or the reason it is not JSON."""
    try:
        return json.loads(line, parse_constant=no_constant), None
    except ValueError as e:
        return None, f"not JSON: {e}"


FATAL = {"driver_not_found", "driver_open_failed", "channel_out_of_range",
         "sample_rate_unsupported", "sample_format_unsupported"}


def order_errors(records):
    """Where a capture's records break the documented order."""
    found = []
    readies = [i for i, r in enumerate(records) if r.get("type") == "ready"]
    fatal = [i for i, r in enumerate(records)
             if r.get("type") == "error" and r.get("code") in FATAL]
    if len(readies) > 1:
        found.append(f"{len(readies)} ready records")
    if fatal and (len(fatal) > 1 or fatal[0] != len(records) - 1):
        found.append("a fatal error record that is not the last line")
    if fatal and readies:
        found.append("a fatal error record after ready")
    return found


def check_run(schema, name, text, status, capture):
    problems = []
    complete = text.split("\n")[:-1]  # a line cut short by the end of a run has no line feed
    records = []
    for number, line in enumerate(complete, 1):
        if status == 2 and line.startswith("kestravo-sim: scenario: "):
            continue  # the simulator's own failure, not a record
        record, problem = parse(line)
        if problem is None:
            problem = "; ".join(errors(schema, record, schema)) or None
            records.append(record)
        if problem:
            problems.append(f"{name}:{number}: {problem}\n  {line[:300]}")
    if capture:
        problems += [f"{name}: {p}" for p in order_errors(records)]
    return problems, len(records)


def check_dir(schema, directory):
    problems, runs, lines = [], 0, 0
    # No test that ran started the tool (ctest -R): nothing to check.
    entries = sorted(os.listdir(directory)) if os.path.isdir(directory) else []
    for entry in entries:
        match = re.search(r"-s(-?\d+)\.(err|out)$", entry)
        if not match:
            continue
        with open(os.path.join(directory, entry), "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
        found, count = check_run(schema, entry, text, int(match.group(1)), match.group(2) == "err")
        problems += found
        runs += 1
        lines += count
    for p in problems[:50]:
        print(p)
    print(f"{lines} records of {runs} runs checked, {len(problems)} problems")
    return not problems


# Lines the schema must accept (True) and reject (False); the accepted ones
# are the tool's own bytes.
SELF_CASES = [
    (True, '{"type":"drivers","drivers":[]}'),
    (True, '{"type":"drivers","drivers":[{"name":"Mic","inputs":2,"sampleRate":48000.0,'
           '"channelNames":["Left",""]},{"name":"X","inputs":1}]}'),
    (True, '{"type":"ready","sampleRate":48000.0,"channels":2}'),
    (True, '{"type":"levels","rms":[0.17,0.0],"peak":[0.25,1.0]}'),
    (True, '{"type":"error","code":"device_disconnected","message":"gone"}'),
    (False, '{"type":"ready","sampleRate":48000.0}'),                       # missing key
    (False, '{"type":"ready","sampleRate":48000.0,"channels":2,"x":1}'),    # extra key
    (False, '{"type":"drivers","drivers":[{"name":"Mic","inputs":2,"rate":1}]}'),
    (False, '{"type":"levels","rms":[0.5],"peak":[1.5]}'),                 # above full scale
    (False, '{"type":"levels","rms":[],"peak":[]}'),
    (False, '{"type":"error","code":"device_lost","message":"gone"}'),
    (False, '{"type":"ready","sampleRate":48000.0,"channels":1.5}'),
    (False, '{"type":"ready","sampleRate":NaN,"channels":1}'),
]


def self_check(schema):
    ok = True
    for expected, line in SELF_CASES:
        record, problem = parse(line)
        accepted = problem is None and not errors(schema, record, schema)
        if accepted != expected:
            print(f"{'rejected' if expected else 'accepted'}: {line}")
            ok = False
    order_cases = [
        (True, ["levels", "ready", "levels", "device_disconnected", "device_disconnected"]),
        (True, ["levels", "driver_open_failed"]),
        (False, ["ready", "ready"]),
        (False, ["ready", "driver_open_failed"]),
        (False, ["driver_not_found", "levels"]),
    ]
    for expected, kinds in order_cases:
        records = [{"type": k} if k in ("ready", "levels") else {"type": "error", "code": k}
                   for k in kinds]
        if (not order_errors(records)) != expected:
            print(f"order {'rejected' if expected else 'accepted'}: {kinds}")
            ok = False
    print(f"{len(SELF_CASES) + len(order_cases)} cases")
    return ok


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    if sys.argv[2] == "--self":
        return 0 if self_check(schema) else 1
    return 0 if check_dir(schema, sys.argv[2]) else 1


if __name__ == "__main__":
    sys.exit(main())
