#!/usr/bin/env python3
"""Reads one JSON document from standard input and validates it against the schema file given."""
import json
import sys

import jsonschema

with open(sys.argv[1], encoding="utf-8") as schema_file:
    schema = json.load(schema_file)
document = json.load(sys.stdin)
jsonschema.validate(document, schema, cls=jsonschema.Draft202012Validator)
print("valid")
