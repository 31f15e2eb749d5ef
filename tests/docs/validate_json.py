#!/usr/bin/env python3
"""Validates ftdiskctl --json documents against the schemas of docs/schema/.

validate_json.py SCHEMA_DIR DOCS.json, DOCS.json holding [[kind, document], ...]: prints
one line per document, "" when it conforms to KIND.schema.json, else the error. With
--strict, each document that conforms must also stop conforming when a key is added to
it, when any of its keys is dropped (from a success) and when a key is added to its first nested
object: proof that the schema checks the keys, not just the types.
"""
import copy
import glob
import json
import os
import sys
import warnings

warnings.simplefilter("ignore", DeprecationWarning)  # RefResolver, on newer jsonschema
from jsonschema import Draft7Validator, RefResolver  # noqa: E402
from jsonschema.exceptions import best_match  # noqa: E402


def load(schema_dir):
    """The schemas by file name, which is also their $id: the names their $refs use."""
    files = glob.glob(os.path.join(schema_dir, "*.schema.json"))
    return {os.path.basename(f): json.load(open(f)) for f in files}


def error(schemas, kind, doc):
    schema = schemas[kind + ".schema.json"]
    # RefResolver is what every jsonschema release since 3 has (Debian's included).
    resolver = RefResolver(base_uri=schema["$id"], referrer=schema, store=schemas)
    e = best_match(Draft7Validator(schema, resolver=resolver).iter_errors(doc))
    return "" if e is None else "/".join(map(str, e.absolute_path)) + ": " + e.message[:300]


# Top-level keys a document has only with an option: "registry show --hive" names the hive,
# "init --from-hive" has the import. (The dry runs of attach, registry export, recover and
# init add "dry_run" alone, no "changes".)
OPTIONAL = {"hive", "import"}


def first_nested_object(v):
    for x in (v.values() if isinstance(v, dict) else v):
        if isinstance(x, dict):
            return x
        if isinstance(x, list):
            found = first_nested_object(x)
            if found is not None:
                return found
    return None


def broken(doc):
    """Copies of the document that no strict schema accepts."""
    added = dict(doc, unexpected_key=1)
    yield "with an added key", added
    # A failure without its own keys is the bare failure document, which conforms.
    for key in (doc if doc.get("ok") is True else ()):
        if key not in OPTIONAL and not (key == "dry_run" and "changes" not in doc):
            yield "without '%s'" % key, {k: v for k, v in doc.items() if k != key}
    nested = copy.deepcopy(doc)
    inner = first_nested_object(nested)
    if inner is not None and inner:
        inner["unexpected_key"] = 1
        yield "with a key added to a nested object", nested


def main():
    strict = "--strict" in sys.argv
    schema_dir, docs = [a for a in sys.argv[1:] if a != "--strict"]
    schemas = load(schema_dir)
    for kind, doc in json.load(open(docs)):
        why = error(schemas, kind, doc)
        if not why and strict:
            for what, bad in broken(doc):
                if not error(schemas, kind, bad):
                    why = "the schema still accepts the document " + what
                    break
        print(json.dumps(why))


main()
