#!/usr/bin/python3
"""Validates every YAML document of the given manifests against the vendored CronJob/Secret schema.
Usage: validate_manifests.py SCHEMA FILE...   (exit 0: all valid; 1: a fault, each printed)"""
import json
import sys

import jsonschema
import yaml

schema = json.load(open(sys.argv[1]))
jsonschema.Draft7Validator.check_schema(schema)


def validator_for(kind):
    # Each kind against its own definition, so a fault is named where it is, not as "no oneOf".
    if kind not in schema["definitions"]:
        return None
    return jsonschema.Draft7Validator({"definitions": schema["definitions"], "$ref": f"#/definitions/{kind}"})


faults = 0
for path in sys.argv[2:]:
    with open(path) as f:
        for doc in yaml.safe_load_all(f):
            kind = doc.get("kind") if isinstance(doc, dict) else None
            validator = validator_for(kind)
            if validator is None:
                print(f"{path}: a document of unknown kind {kind!r}")
                faults += 1
                continue
            for error in validator.iter_errors(doc):
                where = "/".join(str(p) for p in error.absolute_path)
                print(f"{path}: {kind} {where}: {error.message}")
                faults += 1
sys.exit(1 if faults else 0)
