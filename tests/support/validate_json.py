#!/usr/bin/python3
# Checks JSON documents against the schemas of schemas/, which may refer to each other by
# file name. Usage: validate_json.py SCHEMAS_FOLDER SCHEMA_FILE DOCUMENT_FILE...
# Prints each violation with where it is in the document; exits 1 when there is any.
import json
import pathlib
import sys

from jsonschema import Draft202012Validator, RefResolver

folder = pathlib.Path(sys.argv[1])
store = {}
for path in folder.glob("*.schema.json"):
    schema = json.loads(path.read_text(encoding="utf-8"))
    Draft202012Validator.check_schema(schema)
    store[schema.get("$id", path.name)] = schema
schema = store[sys.argv[2]]
validator = Draft202012Validator(schema, resolver=RefResolver(base_uri=sys.argv[2], referrer=schema, store=store))
failed = False
for name in sys.argv[3:]:
    document = json.loads(pathlib.Path(name).read_text(encoding="utf-8"))
    for error in sorted(validator.iter_errors(document), key=lambda e: list(e.absolute_path)):
        where = "/".join(str(part) for part in error.absolute_path) or "(document)"
        print(f"{name}: {where}: {error.message}")
        failed = True
sys.exit(1 if failed else 0)
